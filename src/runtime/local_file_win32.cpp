// Opening and positioning local files on Windows: `long` has 32 bits there,
// so fseek and ftell would stop at 2 GiB.
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>

#include "runtime/platform.h"

namespace korvex::platform {

// Opening never blocks here (a pipe without a server fails at once); what
// was opened is checked instead, so that a device such as CON is refused.
std::FILE* openRegularFileForReading(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return nullptr;
  struct _stat64 st {};
  if (_fstat64(_fileno(file), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
    const int error = (st.st_mode & _S_IFMT) == _S_IFDIR ? EISDIR : EINVAL;
    std::fclose(file);
    errno = error;
    return nullptr;
  }
  return file;
}

bool seekFile(std::FILE* stream, std::int64_t offset, int origin) {
  return _fseeki64(stream, offset, origin) == 0;
}

std::int64_t tellFile(std::FILE* stream) { return _ftelli64(stream); }

}  // namespace korvex::platform
