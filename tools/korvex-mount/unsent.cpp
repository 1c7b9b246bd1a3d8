#include "unsent.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace korvex::mount {
namespace {

// Room left in a 255-byte name for a ".9999" suffix.
constexpr std::size_t kMaxStem = 240;
constexpr int kMaxSuffix = 9999;

std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Writes the whole of `from` into the new file `to`, which must not exist.
// 0, or the errno; a partial copy is removed.
int copyNew(const std::string& from, const std::string& to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) {
    const int error = errno;
    ::close(in);
    return error;
  }
  int error = 0;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t got = ::read(in, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got < 0) error = errno;
      break;
    }
    for (ssize_t at = 0; at < got && !error;) {
      const ssize_t put = ::write(out, buffer + at, static_cast<std::size_t>(got - at));
      if (put < 0 && errno == EINTR) continue;
      if (put < 0) error = errno;
      else at += put;
    }
    if (error) break;
  }
  if (!error && ::fsync(out) != 0) error = errno;
  if (::close(out) != 0 && !error) error = errno;
  ::close(in);
  if (error) ::unlink(to.c_str());
  return error;
}

}  // namespace

std::string unsentName(const std::string& phonePath) {
  std::string name;
  const std::size_t start = phonePath.find_first_not_of('/');
  for (std::size_t i = start == std::string::npos ? phonePath.size() : start; i < phonePath.size(); ++i) {
    const char c = phonePath[i];
    if (c == '/') name += "%2F";
    else if (c == '%') name += "%25";
    else name += c;
  }
  if (name.empty()) name = "%2F";
  // The end holds the file's own name: keep that.
  if (name.size() > kMaxStem) name.erase(0, name.size() - kMaxStem);
  return name;
}

std::filesystem::path keepUnsent(const std::string& local, const std::string& phonePath,
                                 const std::filesystem::path& dir, std::string& why) {
  std::error_code error;
  if (!std::filesystem::is_directory(dir, error)) {
    std::filesystem::create_directories(dir, error);
    if (error) {
      why = dir.string() + ": " + error.message();
      return {};
    }
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all, error);
  }
  const std::string stem = unsentName(phonePath);
  for (int n = 0; n <= kMaxSuffix; ++n) {
    const std::filesystem::path target = dir / (n == 0 ? stem : stem + "." + std::to_string(n));
    // A link never replaces an existing name.
    if (::link(local.c_str(), target.c_str()) == 0) {
      ::unlink(local.c_str());
      return target;
    }
    if (errno == EEXIST) continue;
    const int copied = copyNew(local, target.string());
    if (copied == EEXIST) continue;
    if (copied != 0) {
      errno = copied;
      why = errnoText(target.c_str());
      return {};
    }
    ::unlink(local.c_str());
    return target;
  }
  why = dir.string() + ": every name for " + stem + " is taken";
  return {};
}

}  // namespace korvex::mount
