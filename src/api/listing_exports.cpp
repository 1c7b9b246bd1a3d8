#include <cstdlib>

#include "api/boundary.h"
#include "korvex.h"
#include "session/session.h"

using namespace korvex;

extern "C" {

KORVEX_API int GetFiles(SessionHandle handle, const char* path, char** out) {
  api::trace("[%d-%d-%d]Get Files %s", handle, path);
  return api::guarded(-1, [&] { return reinterpret_cast<PhoneSession*>(handle)->getFiles(path, out); });
}

KORVEX_API int GetDirectories(SessionHandle handle, const char* path, char** out) {
  api::trace("[%d-%d-%d]GetDirectories %s", handle, path);
  return api::guarded(-1, [&] { return reinterpret_cast<PhoneSession*>(handle)->getDirectories(path, out); });
}

KORVEX_API void FreeBuffer(void* buffer) { std::free(buffer); }

}  // extern "C"
