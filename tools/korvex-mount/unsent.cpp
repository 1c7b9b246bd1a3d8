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

// Writes the whole of `from` into `out`, and closes it. 0, or the errno.
int copyInto(const std::string& from, int out) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    const int error = errno;
    ::close(out);
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
  return error;
}

// Gives `from` the name `to` unless that name exists. 0, or the errno
// (EEXIST when taken).
int nameNew(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL) return errno;
  // A file system without that flag: a link never replaces a name either.
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  ::unlink(from.c_str());
  return 0;
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
  const auto target = [&](int n) { return (dir / (n == 0 ? stem : stem + "." + std::to_string(n))).string(); };
  // On the cache's file system a link moves it, never over an earlier name.
  for (int n = 0; n <= kMaxSuffix; ++n) {
    if (::link(local.c_str(), target(n).c_str()) == 0) {
      ::unlink(local.c_str());
      return target(n);
    }
    if (errno != EEXIST) break;
  }
  // Elsewhere the bytes are copied into a hidden file first, so the kept
  // file shows only whole; the cache file goes once the copy is named.
  std::string temporary = (dir / ".korvex-mount-unsent-XXXXXX").string();
  const int out = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (out < 0) {
    why = errnoText(temporary.c_str());
    return {};
  }
  if (const int copied = copyInto(local, out)) {
    ::unlink(temporary.c_str());
    errno = copied;
    why = errnoText(temporary.c_str());
    return {};
  }
  for (int n = 0; n <= kMaxSuffix; ++n) {
    const int named = nameNew(temporary, target(n));
    if (named == EEXIST) continue;
    if (named != 0) {
      ::unlink(temporary.c_str());
      errno = named;
      why = errnoText(target(n).c_str());
      return {};
    }
    ::unlink(local.c_str());
    return target(n);
  }
  ::unlink(temporary.c_str());
  why = dir.string() + ": every name for " + stem + " is taken";
  return {};
}

}  // namespace korvex::mount
