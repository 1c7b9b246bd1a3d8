#include "api/boundary.h"
#include "korvex.h"
#include "session/session.h"

using namespace korvex;

extern "C" {

KORVEX_API bool CopyToPhone(SessionHandle handle, const char* source, const char* dest) {
  api::trace("[%d-%d-%d]CopyToPhone source %s dest %s", handle, source, dest);
  return api::guarded(false, [&] { return reinterpret_cast<PhoneSession*>(handle)->upload(source, dest); });
}

KORVEX_API bool DownFromPhone(SessionHandle handle, const char* source, const char* dest) {
  api::trace("[%d-%d-%d]DownFromPhone source %s dest %s", handle, source, dest);
  return api::guarded(false, [&] { return reinterpret_cast<PhoneSession*>(handle)->download(source, dest); });
}

}  // extern "C"
