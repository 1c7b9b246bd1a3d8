#include "refusal.h"

#include <cerrno>

#include "phone.h"

namespace korvex::mount {

int errnoOf(korvex::Errc reason) {
  switch (reason) {
    case korvex::Errc::ok: return 0;
    case korvex::Errc::not_found: return -ENOENT;
    case korvex::Errc::already_exists: return -EEXIST;
    case korvex::Errc::not_a_directory: return -ENOTDIR;
    case korvex::Errc::is_a_directory: return -EISDIR;
    case korvex::Errc::not_empty: return -ENOTEMPTY;
    case korvex::Errc::no_space: return -ENOSPC;
    case korvex::Errc::not_permitted: return -EPERM;
    case korvex::Errc::path_too_long: return -ENAMETOOLONG;
    case korvex::Errc::refused: return -EACCES;
    default: return -EIO;
  }
}

int downloadRefusal(Phone& phone, const std::string& path) {
  const SessionRef session = phone.session();
  return session ? errnoOf(session->why(korvex::Operation::download, path)) : -EIO;
}

}  // namespace korvex::mount
