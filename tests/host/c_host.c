/* A host program in C: connects, lists, copies a file back and forth.
 * Usage: c_host ADDRESS PASSWORD LOCAL_DIR. Exit 0 when every step worked. */
#include <stdio.h>
#include <string.h>

#include "korvex.h"

#define CHECK(cond)                                        \
  do {                                                     \
    if (!(cond)) {                                         \
      fprintf(stderr, "c_host: failed: %s\n", #cond);      \
      return 1;                                            \
    }                                                      \
  } while (0)

int main(int argc, char** argv) {
  CHECK(argc == 4);
  char up[512];
  char down[512];
  snprintf(up, sizeof up, "%s/c_host.txt", argv[3]);
  snprintf(down, sizeof down, "%s/c_host.back", argv[3]);
  FILE* f = fopen(up, "wb");
  CHECK(f != NULL);
  fputs("written by a C host\n", f);
  fclose(f);

  int error = -1;
  SessionHandle session = Connect(argv[1], argv[2], &error);
  CHECK(session != NULL && error == 0);
  char connected = 0;
  char address[256];
  char name[64];
  ConnectionState(session, &connected, address, name);
  CHECK(connected == 1 && strcmp(address, argv[1]) == 0);

  CHECK(CreatePhoneDirectory(session, "/from-c"));
  CHECK(CopyToPhone(session, up, "/from-c/file.txt"));
  CHECK(FileSize(session, "/from-c/file.txt") == 20);
  char* names = NULL;
  CHECK(GetFiles(session, "/from-c", &names) == 9 && strcmp(names, "file.txt/") == 0);
  FreeBuffer(names);
  CHECK(DownFromPhone(session, "/from-c/file.txt", down));

  TransferHandle transfer = DownFromPhoneAsync(session, "/from-c/file.txt", down);
  CHECK(transfer != NULL);
  int total = 0;
  int progress = -1;
  for (int i = 0; i < 5000 && !(progress == total && progress >= 0) && progress != -2; ++i) {
    GetTransProgress(transfer, &total, &progress);
  }
  CloseTransHandle(transfer);
  CHECK(GetAttribute() == 0 && GetSize() == 0 && SetAttribute() && ScreenSnap() && RestartiPod());
  printf("c_host: ok, device %s\n", name);
  return 0;
}
