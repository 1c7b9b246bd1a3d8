// A host program in C++: the only way to reach Chown, which has C++ linkage.
// Usage: cpp_host ADDRESS PASSWORD. Exit 0 when every step worked.
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "korvex.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  SessionHandle session = Connect(argv[1], argv[2], nullptr);
  if (session == nullptr) return 1;
  if (!CreatePhoneDirectory(session, "/from-cpp")) return 1;
  char path[] = "/from-cpp";
  const bool owned = Chown(reinterpret_cast<std::uintptr_t>(session), path, static_cast<int>(getuid()),
                           static_cast<int>(getgid()));
  if (!owned || IsDirectory(session, "/from-cpp") != 1) return 1;
  std::puts("cpp_host: ok");
  return 0;
}
