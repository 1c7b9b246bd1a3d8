// File positions on POSIX systems: off_t is 64 bits in this build.
#include <cstdio>
#include <sys/types.h>

#include "runtime/platform.h"

namespace korvex::platform {

static_assert(sizeof(off_t) == 8, "local files of 2 GiB and more need 64-bit offsets");

bool seekFile(std::FILE* stream, std::int64_t offset, int origin) {
  return fseeko(stream, static_cast<off_t>(offset), origin) == 0;
}

std::int64_t tellFile(std::FILE* stream) { return static_cast<std::int64_t>(ftello(stream)); }

}  // namespace korvex::platform
