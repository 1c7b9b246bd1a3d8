// File positions on Windows: `long` has 32 bits there, so fseek and ftell
// would stop at 2 GiB.
#include <cstdio>

#include "runtime/platform.h"

namespace korvex::platform {

bool seekFile(std::FILE* stream, std::int64_t offset, int origin) {
  return _fseeki64(stream, offset, origin) == 0;
}

std::int64_t tellFile(std::FILE* stream) { return _ftelli64(stream); }

}  // namespace korvex::platform
