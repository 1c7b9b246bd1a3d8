#include "api/boundary.h"
#include "korvex.h"

extern "C" KORVEX_API int EnableLog(bool enable, unsigned int level, const char* path) {
  return korvex::api::guarded(0, [&] { return korvex::enableLog(enable, level, path); });
}
