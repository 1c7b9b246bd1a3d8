#include "refusal.h"

#include <cerrno>

#include "meta_cache.h"
#include "phone.h"

namespace korvex::mount {

int listingRefusal(const Phone& phone, SessionHandle session, const std::string& path) {
  if (!phone.alive(session)) return -EIO;
  return IsDirectory(session, path.c_str()) == 0 ? -ENOTDIR : -EIO;
}

int mkdirRefusal(const Phone& phone, SessionHandle session, const char* path) {
  if (!phone.alive(session)) return -EIO;
  if (Exists(session, path) == 1) return -EEXIST;
  if (IsDirectory(session, parentOf(path).c_str()) == 0) return -ENOENT;
  return -EACCES;
}

int unlinkRefusal(const Phone& phone, SessionHandle session, const char* path) {
  if (!phone.alive(session)) return -EIO;
  if (Exists(session, path) == 0) return -ENOENT;
  if (IsDirectory(session, path) == 1) return -EISDIR;
  return -EACCES;
}

int rmdirRefusal(const Phone& phone, SessionHandle session, const char* path) {
  if (!phone.alive(session)) return -EIO;
  if (Exists(session, path) == 0) return -ENOENT;
  if (IsDirectory(session, path) == 0) return -ENOTDIR;
  char* names = nullptr;
  int length = GetFiles(session, path, &names);
  if (length <= 0) length = GetDirectories(session, path, &names);
  if (length > 0) FreeBuffer(names);
  return length > 0 ? -ENOTEMPTY : -EACCES;
}

int renameRefusal(const Phone& phone, SessionHandle session, const char* from, const char* to) {
  if (!phone.alive(session)) return -EIO;
  if (Exists(session, from) == 0) return -ENOENT;
  if (IsDirectory(session, to) == 1) return IsDirectory(session, from) == 1 ? -ENOTEMPTY : -EISDIR;
  return -EACCES;
}

int chownRefusal(const Phone& phone, SessionHandle session) { return phone.alive(session) ? -EPERM : -EIO; }

int downloadRefusal(Phone& phone, const std::string& path) {
  SessionRef session = phone.session();
  return session && Exists(session, path.c_str()) == 0 ? -ENOENT : -EIO;
}

}  // namespace korvex::mount
