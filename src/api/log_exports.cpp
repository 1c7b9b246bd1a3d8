#include "api/boundary.h"
#include "korvex.h"

static_assert(KORVEX_MAX_LOG_PATH == korvex::kMaxLogPathLength);

extern "C" KORVEX_API int EnableLog(bool enable, unsigned int level, const char* path) {
  return korvex::api::guarded(0, [&] { return korvex::enableLog(enable, level, path); });
}
