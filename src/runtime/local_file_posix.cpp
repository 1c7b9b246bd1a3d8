// Opening and positioning local files on POSIX systems: off_t is 64 bits in
// this build.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "runtime/platform.h"

namespace korvex::platform {

static_assert(sizeof(off_t) == 8, "local files of 2 GiB and more need 64-bit offsets");

std::FILE* openRegularFileForReading(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st{};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(fd);
    errno = error;
    return nullptr;
  }
  // A regular file never blocks; the flag only mattered for the open.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::FILE* file = fdopen(fd, "rb");
  if (file == nullptr) ::close(fd);
  return file;
}

bool seekFile(std::FILE* stream, std::int64_t offset, int origin) {
  return fseeko(stream, static_cast<off_t>(offset), origin) == 0;
}

std::int64_t tellFile(std::FILE* stream) { return static_cast<std::int64_t>(ftello(stream)); }

FileKind fileKind(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return FileKind::Missing;
  if (S_ISREG(st.st_mode)) return FileKind::Regular;
  return S_ISDIR(st.st_mode) ? FileKind::Directory : FileKind::Other;
}

std::string linkTarget(const std::string& path) {
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  return resolved ? std::string(resolved.get()) : path;
}

std::FILE* createNewFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "wb+");
  if (file == nullptr) ::close(fd);
  return file;
}

void copyPermissions(const std::string& model, const std::string& path) {
  struct stat st{};
  if (::stat(model.c_str(), &st) == 0) ::chmod(path.c_str(), st.st_mode & 07777);
}

bool replaceFile(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()) == 0; }

bool removeFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

}  // namespace korvex::platform
