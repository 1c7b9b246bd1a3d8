#include "root.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "log.h"

namespace korvexd {
namespace {

int openat2Call(int dirFd, const char* path, int flags, unsigned long long resolve) {
  open_how how{};
  how.flags = static_cast<unsigned long long>(flags);
  how.resolve = resolve;
  return static_cast<int>(syscall(SYS_openat2, dirFd, path, &how, sizeof how));
}

constexpr unsigned long long kBeneath = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;

// Seccomp filters in containers answer EPERM instead of ENOSYS, so any failure
// of a harmless probe counts as "not available".
bool kernelHasOpenat2(int dirFd) {
  int fd = openat2Call(dirFd, ".", O_PATH | O_CLOEXEC, kBeneath);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

// Sets `error` for a walk step. O_DIRECTORY|O_NOFOLLOW on a symlink reports
// ENOTDIR; the log should say it was a link.
Fd reportWalk(Fd fd, int at, const char* name, int& error) {
  if (fd.valid()) {
    error = 0;
    return fd;
  }
  error = errno;
  struct stat st{};
  if (error == ENOTDIR && fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
    error = ELOOP;
  return fd;
}

std::string joinParts(const std::vector<std::string_view>& parts) {
  std::string joined;
  for (std::string_view part : parts) {
    if (!joined.empty()) joined += '/';
    joined += part;
  }
  return joined.empty() ? "." : joined;
}

}  // namespace

bool splitPhonePath(std::string_view path, std::vector<std::string_view>& parts) {
  parts.clear();
  while (!path.empty()) {
    std::size_t slash = path.find('/');
    std::string_view part = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") return false;
    parts.push_back(part);
  }
  return true;
}

const char* describePathError(int error) {
  if (error == kEscapeError) return "path leaves the root";
  if (error == ELOOP) return "symbolic link refused";
  if (error == kReservedNameError) return "name reserved for uploads in progress";
  return errorText(error);
}

std::optional<Root> Root::open(const std::string& dir, Resolver how, int& error) {
  Fd fd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) {
    error = errno;
    return std::nullopt;
  }
  bool kernel = kernelHasOpenat2(fd.get());
  if (how == Resolver::Openat2 && !kernel) {
    error = ENOSYS;
    return std::nullopt;
  }
  if (how == Resolver::Auto) how = kernel ? Resolver::Openat2 : Resolver::Walk;
  error = 0;
  return Root(std::move(fd), how);
}

Fd Root::open(std::string_view path, int flags, int& error) const {
  std::vector<std::string_view> parts;
  if (!splitPhonePath(path, parts)) {
    error = kEscapeError;
    return Fd();
  }
  return openParts(parts, flags, error);
}

Fd Root::openParent(std::string_view path, std::string& name, int& error) const {
  std::vector<std::string_view> parts;
  if (!splitPhonePath(path, parts)) {
    error = kEscapeError;
    return Fd();
  }
  name.clear();
  if (!parts.empty()) {
    name = parts.back();
    parts.pop_back();
  }
  return openParts(parts, O_PATH | O_DIRECTORY, error);
}

Fd Root::openParts(const std::vector<std::string_view>& parts, int flags, int& error) const {
  // openat2 refuses O_PATH mixed with flags that mean nothing to it.
  flags |= O_CLOEXEC | ((flags & O_PATH) ? 0 : O_NOCTTY);
  if (how_ == Resolver::Openat2) {
    std::string joined = joinParts(parts);
    for (int attempt = 0; attempt < 8; ++attempt) {
      int fd = openat2Call(dir_.get(), joined.c_str(), flags, kBeneath);
      if (fd >= 0) {
        error = 0;
        return Fd(fd);
      }
      // EAGAIN: a concurrent rename raced the resolution; the kernel asks for a retry.
      if (errno != EAGAIN && errno != EINTR) break;
    }
    error = errno;
    return Fd();
  }

  // Walk: each component is opened relative to the one before with O_NOFOLLOW,
  // so a symlink anywhere in the path stops the walk.
  if (parts.empty()) return reportWalk(Fd(::openat(dir_.get(), ".", flags)), dir_.get(), ".", error);
  Fd current;
  int at = dir_.get();
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    std::string part(parts[i]);
    Fd next = reportWalk(Fd(::openat(at, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)),
                         at, part.c_str(), error);
    if (!next.valid()) return next;
    current = std::move(next);
    at = current.get();
  }
  std::string last(parts.back());
  Fd fd = reportWalk(Fd(::openat(at, last.c_str(), flags | O_NOFOLLOW)), at, last.c_str(), error);
  if (fd.valid() && (flags & O_PATH)) {
    // O_PATH|O_NOFOLLOW opens a symlink itself instead of failing.
    struct stat st{};
    if (fstat(fd.get(), &st) == 0 && S_ISLNK(st.st_mode)) {
      error = ELOOP;
      return Fd();
    }
  }
  return fd;
}

}  // namespace korvexd
