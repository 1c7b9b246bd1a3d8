/* A Windows host in C that binds korvex.dll at run time, as hosts that ship
 * without an import library do: LoadLibrary, then every export by name and
 * by ordinal. Then a session against korvexd: log-in, upload, listing,
 * download with a byte comparison, Chown through ordinal 1, a background copy
 * with progress, and a cancelled one.
 *
 * Usage: loadlibrary_host DLL ADDRESS PASSWORD WORK_DIR
 * Paths may be Unix paths (under Wine): they are used as Z:\... with
 * backslashes, as a Windows host would pass them. The service's root holds
 * big.bin (BIG_SIZE bytes), for the cancel. Exit 0 when every check held. */
#include <windows.h>

#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define BIG_SIZE (48 * 1024 * 1024)
#define SMALL_SIZE (3 * 1024 * 1024 + 17)
#define ASYNC_SIZE (6 * 1024 * 1024 + 5)

static int failures = 0;

#define CHECK(cond)                                                      \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "loadlibrary_host:%d: failed: %s\n", __LINE__, #cond); \
      ++failures;                                                        \
    }                                                                    \
  } while (0)

#define REQUIRE(cond)                                                    \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "loadlibrary_host:%d: failed: %s\n", __LINE__, #cond); \
      return 1;                                                          \
    }                                                                    \
  } while (0)

/* The table, in ordinal order. */
static const char* const kNames[30] = {
#if defined(_WIN64)
    "?Chown@@YA_N_KPEADHH@Z",
#else
    "?Chown@@YA_NIPADHH@Z",
#endif
    "CloseTransHandle", "Connect", "ConnectionState", "CopyToPhone", "CopyToPhoneAsync", "CreatePhoneDirectory",
    "DeleteDirectory", "DeletePhoneFile", "DownFromPhone", "DownFromPhoneAsync", "EnableLog", "Exists", "FileSize",
    "FreeBuffer", "GetAttribute", "GetDirectories", "GetFiles", "GetSize", "GetSpaceSize", "GetTransProgress",
    "HasDirectories", "IsDirectory", "Reboot", "Rename", "Restart", "RestartiPod", "ScreenSnap", "SetAttribute",
    "Shutdown"};

/* Names no build may export: the plain one, other platforms' decorations,
 * and on 64-bit the 32-bit signature, which would cut the handle. */
static const char* const kAbsent[] = {"Chown", "_Z5ChownmPcii", "_Z5ChownjPcii", "_Z5ChownyPcii",
#if defined(_WIN64)
                                      "?Chown@@YA_NIPADHH@Z",
#endif
                                      "DllMain"};

/* Exports are held as void (*)(void), which converts to any function type. */
typedef void (*AnyFn)(void);
static AnyFn byName[31];

typedef void* Session;
typedef void* Transfer;

/* A Unix path as a Windows host spells it: Z:\tmp\... */
static void windowsPath(char* out, size_t size, const char* dir, const char* name) {
  snprintf(out, size, "%s%s%s%s", dir[0] == '/' ? "Z:" : "", dir, name[0] ? "/" : "", name);
  for (char* c = out; *c; ++c) {
    if (*c == '/') *c = '\\';
  }
}

static void pattern(unsigned char* data, size_t size, unsigned seed) {
  for (size_t i = 0; i < size; ++i) data[i] = (unsigned char)((i * 131u + (i >> 13) + seed) & 0xFF);
}

static int writeFile(const char* path, const unsigned char* data, size_t size) {
  FILE* f = fopen(path, "wb");
  if (f == NULL) return 0;
  const size_t n = fwrite(data, 1, size, f);
  return fclose(f) == 0 && n == size;
}

/* The whole file, or NULL; *size receives its length. */
static unsigned char* readFile(const char* path, size_t* size) {
  FILE* f = fopen(path, "rb");
  if (f == NULL) return NULL;
  _fseeki64(f, 0, SEEK_END);
  *size = (size_t)_ftelli64(f);
  _fseeki64(f, 0, SEEK_SET);
  unsigned char* data = malloc(*size ? *size : 1);
  if (data && fread(data, 1, *size, f) != *size) {
    free(data);
    data = NULL;
  }
  fclose(f);
  return data;
}

static int sameBytes(const char* path, const unsigned char* want, size_t size) {
  size_t got = 0;
  unsigned char* data = readFile(path, &got);
  const int same = data != NULL && got == size && memcmp(data, want, size) == 0;
  free(data);
  return same;
}

#if defined(__i386__)
/* Calls fn with four arguments pushed right to left and returns by how many
 * bytes the callee moved the stack pointer. In the caller-cleans convention
 * the arguments are still there after the call: the result is 0. A callee
 * that pops them (__stdcall) gives 16. */
static int calleePopped(AnyFn fn, uintptr_t a, uintptr_t b, uintptr_t c, uintptr_t d, uintptr_t* result) {
  uintptr_t before, after, value;
  __asm__ volatile(
      "movl %%esp, %%esi\n\t"
      "pushl %[d]\n\tpushl %[c]\n\tpushl %[b]\n\tpushl %[a]\n\t"
      "movl %%esp, %%edi\n\t"
      "call *%[fn]\n\t"
      "movl %%esp, %%ebx\n\t"
      "movl %%esi, %%esp\n\t"
      : "=D"(before), "=b"(after), "=a"(value)
      : [fn] "m"(fn), [a] "g"(a), [b] "g"(b), [c] "g"(c), [d] "g"(d)
      : "esi", "ecx", "edx", "memory", "cc");
  *result = value;
  return (int)(after - before);
}
#endif

static AnyFn need(const char* name) {
  for (int i = 0; i < 30; ++i) {
    if (strcmp(kNames[i], name) == 0) return byName[i + 1];
  }
  return NULL;
}

int main(int argc, char** argv) {
  REQUIRE(argc == 5);
  char dll[MAX_PATH];
  windowsPath(dll, sizeof dll, argv[1], "");
  HMODULE module = LoadLibraryA(dll);
  if (module == NULL) fprintf(stderr, "LoadLibrary(%s): error %lu\n", dll, GetLastError());
  REQUIRE(module != NULL);

  /* ---- Export table ---- */
  for (int ordinal = 1; ordinal <= 30; ++ordinal) {
    byName[ordinal] = (AnyFn)GetProcAddress(module, kNames[ordinal - 1]);
    const AnyFn byOrdinal = (AnyFn)GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
    if (byName[ordinal] == NULL || byName[ordinal] != byOrdinal) {
      fprintf(stderr, "export %d %s: by name %p, by ordinal %p\n", ordinal, kNames[ordinal - 1],
              (void*)byName[ordinal], (void*)byOrdinal);
      ++failures;
    }
  }
  /* Extensions follow the table, from ordinal 31. */
  typedef bool (*DisconnectFn)(void*);
  const DisconnectFn disconnect = (DisconnectFn)(AnyFn)GetProcAddress(module, "Disconnect");
  CHECK(disconnect != NULL && (AnyFn)disconnect == (AnyFn)GetProcAddress(module, MAKEINTRESOURCEA(31)));
  static const char* const kExtensions[] = {"GetEntries", "FreeEntries", "GetSizes", "UploadFiles", "GetKinds",
                                              "CloseConnection", "DownloadFiles"};
  for (int i = 0; i < 7; ++i) { /* 32-38 */
    const AnyFn named = (AnyFn)GetProcAddress(module, kExtensions[i]);
    CHECK(named != NULL && named == (AnyFn)GetProcAddress(module, MAKEINTRESOURCEA(32 + i)));
  }
  CHECK(GetProcAddress(module, MAKEINTRESOURCEA(39)) == NULL);
  for (size_t i = 0; i < sizeof kAbsent / sizeof kAbsent[0]; ++i) {
    if (GetProcAddress(module, kAbsent[i]) != NULL) {
      fprintf(stderr, "unexpected export %s\n", kAbsent[i]);
      ++failures;
    }
  }
  int distinct = 0;
  for (int i = 1; i <= 30; ++i) {
    int seen = 0;
    for (int j = 1; j < i; ++j) seen |= byName[j] == byName[i];
    distinct += !seen;
  }
  CHECK(distinct == 27);
  CHECK(need("GetSize") == need("GetAttribute"));
  CHECK(need("ScreenSnap") == need("RestartiPod") && need("SetAttribute") == need("RestartiPod"));
  REQUIRE(failures == 0);

  /* ---- Fixed results, with arguments they ignore ---- */
  int (*getAttribute)(int, int, int, int) = (int (*)(int, int, int, int))need("GetAttribute");
  bool (*restartiPod)(int, int, int, int) = (bool (*)(int, int, int, int))need("RestartiPod");
  CHECK(getAttribute(1, 2, 3, 4) == 0);
  CHECK(restartiPod(1, 2, 3, 4) == true);
#if defined(__i386__)
  {
    uintptr_t value = 0;
    CHECK(calleePopped(need("GetAttribute"), 1, 2, 3, 4, &value) == 0 && value == 0);
    CHECK(calleePopped(need("SetAttribute"), 1, 2, 3, 4, &value) == 0 && (value & 0xFF) == 1);
    CHECK(calleePopped(need("EnableLog"), 0, 3, 0, 0, &value) == 0 && value == 0);
    CHECK(calleePopped(need("FreeBuffer"), 0, 0, 0, 0, &value) == 0);
  }
#endif

  /* ---- A session ---- */
  int (*enableLog)(bool, unsigned, const char*) = (int (*)(bool, unsigned, const char*))need("EnableLog");
  Session (*connect)(const char*, const char*, int*) = (Session(*)(const char*, const char*, int*))need("Connect");
  void (*connectionState)(Session, char*, char*, char*) = (void (*)(Session, char*, char*, char*))need("ConnectionState");
  bool (*createDir)(Session, const char*) = (bool (*)(Session, const char*))need("CreatePhoneDirectory");
  bool (*copyToPhone)(Session, const char*, const char*) =
      (bool (*)(Session, const char*, const char*))need("CopyToPhone");
  bool (*downFromPhone)(Session, const char*, const char*) =
      (bool (*)(Session, const char*, const char*))need("DownFromPhone");
  int (*fileSize)(Session, const char*) = (int (*)(Session, const char*))need("FileSize");
  int (*exists)(Session, const char*) = (int (*)(Session, const char*))need("Exists");
  int (*getFiles)(Session, const char*, char**) = (int (*)(Session, const char*, char**))need("GetFiles");
  void (*freeBuffer)(void*) = (void (*)(void*))need("FreeBuffer");
  Transfer (*downAsync)(Session, const char*, const char*) =
      (Transfer(*)(Session, const char*, const char*))need("DownFromPhoneAsync");
  Transfer (*upAsync)(Session, const char*, const char*) =
      (Transfer(*)(Session, const char*, const char*))need("CopyToPhoneAsync");
  int (*progressOf)(Transfer, int*, int*) = (int (*)(Transfer, int*, int*))need("GetTransProgress");
  int (*closeTransfer)(Transfer) = (int (*)(Transfer))need("CloseTransHandle");
#if defined(_WIN64)
  bool (*chown)(unsigned long long, char*, int, int) = (bool (*)(unsigned long long, char*, int, int))byName[1];
#else
  bool (*chown)(unsigned int, char*, int, int) = (bool (*)(unsigned int, char*, int, int))byName[1];
#endif

  char logPath[MAX_PATH];
  windowsPath(logPath, sizeof logPath, argv[4], "korvex.log");
  CHECK(enableLog(true, 7, logPath) == 1);

  int error = -1;
  CHECK(connect("127.0.0.1:1", argv[3], &error) == NULL && error == 1);
  error = -1;
  Session session = connect(argv[2], argv[3], &error);
  REQUIRE(session != NULL && error == 0);
  char connected = 0;
  char address[256] = "";
  char name[64] = "";
  connectionState(session, &connected, address, name);
  CHECK(connected == 1 && strcmp(address, argv[2]) == 0 && name[0] != '\0');

  unsigned char* small = malloc(SMALL_SIZE);
  unsigned char* medium = malloc(ASYNC_SIZE);
  REQUIRE(small != NULL && medium != NULL);
  pattern(small, SMALL_SIZE, 1);
  pattern(medium, ASYNC_SIZE, 2);
  char up[MAX_PATH], down[MAX_PATH], upAsyncPath[MAX_PATH], downAsyncPath[MAX_PATH], cancelled[MAX_PATH];
  windowsPath(up, sizeof up, argv[4], "up.bin");
  windowsPath(down, sizeof down, argv[4], "down.bin");
  windowsPath(upAsyncPath, sizeof upAsyncPath, argv[4], "up-async.bin");
  windowsPath(downAsyncPath, sizeof downAsyncPath, argv[4], "down-async.bin");
  windowsPath(cancelled, sizeof cancelled, argv[4], "cancelled.bin");
  REQUIRE(writeFile(up, small, SMALL_SIZE) && writeFile(upAsyncPath, medium, ASYNC_SIZE));

  CHECK(createDir(session, "/win"));
  CHECK(copyToPhone(session, up, "/win/small.bin"));
  CHECK(fileSize(session, "/win/small.bin") == SMALL_SIZE);
  CHECK(exists(session, "/win/small.bin") == 1 && exists(session, "/win/none") == 0);
  char* names = NULL;
  CHECK(getFiles(session, "/win", &names) == 10 && names != NULL && strcmp(names, "small.bin/") == 0);
  freeBuffer(names);
  CHECK(downFromPhone(session, "/win/small.bin", down));
  CHECK(sameBytes(down, small, SMALL_SIZE));
  /* Owner and group -1 keep both: the service applies that without rights.
   * The handle travels whole, also where it lies above 4 GiB. */
  CHECK(chown((uintptr_t)session, "/win/small.bin", -1, -1) == true);
  CHECK(chown((uintptr_t)session, "/win/none", -1, -1) == false);

  /* Background copies: up, then down, polled to the end. */
  int total = 0, progress = -1, sawPartial = 0;
  Transfer transfer = upAsync(session, upAsyncPath, "/win/medium.bin");
  REQUIRE(transfer != NULL);
  for (DWORD start = GetTickCount(); GetTickCount() - start < 60000;) {
    const int value = progressOf(transfer, &total, &progress);
    CHECK(value == progress);
    if (progress == -2 || (progress >= 0 && progress == total)) break;
    Sleep(1);
  }
  CHECK(total == ASYNC_SIZE && progress == ASYNC_SIZE);
  CHECK(closeTransfer(transfer) == 0);
  /* The service puts an upload in place once it has read the last byte,
   * which may be after the library has sent it. */
  int placed = -1;
  for (DWORD start = GetTickCount(); GetTickCount() - start < 10000 && placed != ASYNC_SIZE; Sleep(10)) {
    placed = fileSize(session, "/win/medium.bin");
  }
  CHECK(placed == ASYNC_SIZE);

  transfer = downAsync(session, "/win/medium.bin", downAsyncPath);
  REQUIRE(transfer != NULL);
  for (DWORD start = GetTickCount(); GetTickCount() - start < 60000;) {
    progressOf(transfer, &total, &progress);
    if (progress > 0 && progress < total) sawPartial = 1;
    if (progress == -2 || (progress >= 0 && progress == total)) break;
    Sleep(1);
  }
  CHECK(total == ASYNC_SIZE && progress == ASYNC_SIZE);
  CHECK(closeTransfer(transfer) == 0);
  CHECK(sameBytes(downAsyncPath, medium, ASYNC_SIZE));
  if (!sawPartial) fprintf(stderr, "loadlibrary_host: note: no partial progress seen\n");

  /* Cancel: close the handle while the copy runs; the call returns at once
   * and the copy stops short. */
  transfer = downAsync(session, "/big.bin", cancelled);
  REQUIRE(transfer != NULL);
  for (DWORD start = GetTickCount(); GetTickCount() - start < 30000;) {
    progressOf(transfer, &total, &progress);
    if (progress > 0 || progress == -2) break;
    Sleep(1);
  }
  CHECK(total == BIG_SIZE && progress > 0 && progress < BIG_SIZE);
  const DWORD closing = GetTickCount();
  CHECK(closeTransfer(transfer) == 0);
  const DWORD closeMs = GetTickCount() - closing;
  CHECK(closeMs < 2500);
  /* A cancelled download leaves no file where none was. */
  CHECK(GetFileAttributesA(cancelled) == INVALID_FILE_ATTRIBUTES);

  /* The session is still usable, and the log has the trace lines. */
  connectionState(session, &connected, address, name);
  CHECK(connected == 1);
  CHECK(exists(session, "/big.bin") == 1);
  CHECK(enableLog(false, 0, NULL) == 0);
  size_t logSize = 0;
  char* log = (char*)readFile(logPath, &logSize);
  CHECK(log != NULL && logSize > 0);
  if (log) {
    log[logSize - 1] = '\0';
    CHECK(strstr(log, "Get Files /win") != NULL && strstr(log, "DownFromPhoneAsync source /big.bin") != NULL);
  }
  free(log);
  free(small);
  free(medium);
  CHECK(disconnect((void*)session));
  if (failures == 0) printf("loadlibrary_host: ok (%d-bit), device %s, cancel took %lu ms\n",
                            (int)(sizeof(void*) * 8), name, (unsigned long)closeMs);
  return failures == 0 ? 0 : 1;
}
