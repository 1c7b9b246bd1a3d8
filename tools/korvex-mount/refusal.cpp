#include "refusal.h"

#include <cerrno>

#include "phone.h"

namespace korvex::mount {
namespace {

// A question the phone answered, yes or no; a failed one is neither.
bool yes(const korvex::Answer& answer) { return answer.yes(); }
bool no(const korvex::Answer& answer) { return answer.no(); }

bool hasNames(const korvex::Result<std::vector<std::string>>& names) { return names.ok() && !names->empty(); }

}  // namespace

int listingRefusal(const korvex::Session& session, const std::string& path) {
  if (!session.connected()) return -EIO;
  return no(session.is_directory(path)) ? -ENOTDIR : -EIO;
}

int mkdirRefusal(const korvex::Session& session, const std::string& path) {
  if (!session.connected()) return -EIO;
  if (yes(session.exists(path))) return -EEXIST;
  if (no(session.is_directory(korvex::parent_path(path)))) return -ENOENT;
  return -EACCES;
}

int unlinkRefusal(const korvex::Session& session, const std::string& path) {
  if (!session.connected()) return -EIO;
  if (no(session.exists(path))) return -ENOENT;
  if (yes(session.is_directory(path))) return -EISDIR;
  return -EACCES;
}

int rmdirRefusal(const korvex::Session& session, const std::string& path) {
  if (!session.connected()) return -EIO;
  if (no(session.exists(path))) return -ENOENT;
  if (no(session.is_directory(path))) return -ENOTDIR;
  return hasNames(session.files(path)) || hasNames(session.directories(path)) ? -ENOTEMPTY : -EACCES;
}

int renameRefusal(const korvex::Session& session, const std::string& from, const std::string& to) {
  if (!session.connected()) return -EIO;
  if (no(session.exists(from))) return -ENOENT;
  if (yes(session.is_directory(to))) return yes(session.is_directory(from)) ? -ENOTEMPTY : -EISDIR;
  return -EACCES;
}

int chownRefusal(const korvex::Session& session) { return session.connected() ? -EPERM : -EIO; }

int downloadRefusal(Phone& phone, const std::string& path) {
  const SessionRef session = phone.session();
  return session && no(session->exists(path)) ? -ENOENT : -EIO;
}

}  // namespace korvex::mount
