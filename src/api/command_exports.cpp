#include <string>

#include "api/boundary.h"
#include "korvex.h"
#include "protocol.h"
#include "session/session.h"

using namespace korvex;

namespace {

PhoneSession* session(SessionHandle handle) { return reinterpret_cast<PhoneSession*>(handle); }

}  // namespace

extern "C" {

KORVEX_API bool Rename(SessionHandle handle, const char* source, const char* dest) {
  api::trace("[%d-%d-%d]RENAME SOURCE %s DEST %s", handle, source, dest);
  return api::guarded(false, [&] { return session(handle)->rename(source, dest); });
}

KORVEX_API bool DeletePhoneFile(SessionHandle handle, const char* path) {
  api::trace("[%d-%d-%d]Delete Phone file %s", handle, path);
  return api::guarded(false, [&] { return session(handle)->deleteFile(path); });
}

KORVEX_API bool DeleteDirectory(SessionHandle handle, const char* path, bool recursive) {
  api::trace("[%d-%d-%d]Delete Directory %s", handle, path);
  return api::guarded(false, [&] { return session(handle)->deleteDirectory(path, recursive); });
}

KORVEX_API bool CreatePhoneDirectory(SessionHandle handle, const char* path) {
  api::trace("[%d-%d-%d]Create Phone Directory %s", handle, path);
  return api::guarded(false, [&] { return session(handle)->makeDirectory(path); });
}

KORVEX_API int FileSize(SessionHandle handle, const char* path) {
  api::trace("[%d-%d-%d]Get File Size %s", handle, path);
  return api::guarded(-1, [&] { return session(handle)->fileSize(path); });
}

KORVEX_API int Exists(SessionHandle handle, const char* path) {
  api::trace("[%d-%d-%d]%u Exists %s", handle, api::handleUnsigned(handle), path);
  return api::guarded(-1, [&] { return session(handle)->exists(path); });
}

KORVEX_API int IsDirectory(SessionHandle handle, const char* path) {
  api::trace("[%d-%d-%d]IsDirectory %s", handle, path);
  return api::guarded(-1, [&] { return session(handle)->isDirectory(path); });
}

KORVEX_API int HasDirectories(SessionHandle handle, const char* path) {
  api::trace("[%d-%d-%d]HasDirectories %s", handle, path);
  return api::guarded(-1, [&] { return session(handle)->isDirectory(path); });
}

KORVEX_API int GetSpaceSize(SessionHandle handle, const char* path) {
  api::trace("[%d-%d-%d]GetSpaceSize %s", handle, path);
  return api::guarded(-1, [&] { return session(handle)->spaceSize(path); });
}

// The power commands report true whatever the phone answers: it may go down
// before it can.
KORVEX_API bool Shutdown(SessionHandle handle) {
  api::guarded(false, [&] { return session(handle)->power(protocol::CMD_SHUTDOWN); });
  return true;
}

KORVEX_API bool Reboot(SessionHandle handle) {
  api::guarded(false, [&] { return session(handle)->power(protocol::CMD_REBOOT); });
  return true;
}

KORVEX_API bool Restart(SessionHandle handle) {
  api::guarded(false, [&] { return session(handle)->power(protocol::CMD_RESTART); });
  return true;
}

}  // extern "C"

// C++ linkage: the session travels as a pointer-sized integer.
KORVEX_API bool Chown(KORVEX_CHOWN_HANDLE handle, char* path, int owner, int group) {
  return api::guarded(false, [&] {
    return reinterpret_cast<PhoneSession*>(static_cast<std::uintptr_t>(handle))->chown(path, owner, group);
  });
}
