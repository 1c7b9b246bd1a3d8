#include "cache_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "note.h"
#include "unsent.h"

namespace korvex::mount {
namespace {

// The cache file's name inside the open file's own directory; the library
// may put a temporary beside it while it downloads.
constexpr const char* kCacheName = "data";

}  // namespace

bool Space::reserve(std::uint64_t bytes) {
  std::lock_guard hold(mutex_);
  if (bytes > limit_ - used_) return false;
  used_ += bytes;
  return true;
}

void Space::give(std::uint64_t bytes) {
  std::lock_guard hold(mutex_);
  used_ -= bytes;
}

int CacheFiles::make(OpenFile& file, bool create) {
  file.dir = dir_ / std::to_string(++counter_);
  file.local = (file.dir / kCacheName).string();
  if (::mkdir(file.dir.c_str(), 0700) != 0) return -errno;
  if (!create) return 0;
  file.fd = ::open(file.local.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (file.fd.load() >= 0) return 0;
  const int error = errno;
  ::rmdir(file.dir.c_str());
  return -error;
}

int CacheFiles::grow(OpenFile& file, std::uint64_t end) {
  if (end <= file.reserved) return 0;
  if (!space_.reserve(end - file.reserved)) return -ENOSPC;
  file.reserved = end;
  return 0;
}

bool CacheFiles::adoptComplete(OpenFile& file, std::uint32_t size) {
  const int fresh = ::open(file.local.c_str(), O_RDWR | O_CLOEXEC);
  if (fresh < 0) return false;
  struct stat now, before;
  if (::fstat(fresh, &now) != 0 || static_cast<std::uint64_t>(now.st_size) != size) {
    ::close(fresh);
    return false;
  }
  const int old = file.fd.load();
  if (old >= 0 && ::fstat(old, &before) == 0 && before.st_ino == now.st_ino && before.st_dev == now.st_dev) {
    ::close(fresh);  // the file read so far is the one put in place
    return true;
  }
  if (old >= 0) file.retired.push_back(old);
  file.fd = fresh;
  return true;
}

void CacheFiles::adoptPartial(OpenFile& file) {
  DIR* dir = ::opendir(file.dir.c_str());
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
    const int fd = ::openat(::dirfd(dir), entry->d_name, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    struct stat st;
    if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      file.fd = fd;
      break;
    }
    if (fd >= 0) ::close(fd);
  }
  ::closedir(dir);
}

int CacheFiles::sizeOf(int fd, std::uint64_t& size) {
  struct stat local;
  if (::fstat(fd, &local) != 0) return -errno;
  size = static_cast<std::uint64_t>(local.st_size);
  return 0;
}

int CacheFiles::sizeAt(const std::string& local, std::uint64_t& size) {
  struct stat st;
  if (::stat(local.c_str(), &st) != 0) return -errno;
  size = static_cast<std::uint64_t>(st.st_size);
  return 0;
}

int CacheFiles::readAt(OpenFile& file, char* buffer, std::size_t size, off_t offset) {
  const ssize_t got = ::pread(file.fd.load(), buffer, size, offset);
  return got < 0 ? -errno : static_cast<int>(got);
}

int CacheFiles::writeAt(OpenFile& file, const char* buffer, std::size_t size, off_t offset) {
  const ssize_t put = ::pwrite(file.fd.load(), buffer, size, offset);
  return put < 0 ? -errno : static_cast<int>(put);
}

int CacheFiles::cut(OpenFile& file, off_t size) { return ::ftruncate(file.fd.load(), size) != 0 ? -errno : 0; }

void CacheFiles::release(OpenFile& file) {
  space_.give(file.reserved);
  file.reserved = 0;
  for (const int fd : file.retired) ::close(fd);
}

void CacheFiles::end(OpenFile* file) {
  if (file->fd.load() >= 0) ::close(file->fd.load());
  bool keep = false;
  if (file->writable && file->dirty) {
    const std::string path = file->path();
    std::string why;
    const std::filesystem::path kept = keepUnsent(file->local, path, unsentDir_, why);
    if (!kept.empty()) {
      noteError("%s: not sent to the phone; what was written is kept in %s", path.c_str(), kept.c_str());
    } else {
      keep = true;
      leftInCache_ = true;
      noteError("%s: not sent to the phone, and not moved to the unsent directory (%s); it stays in %s",
                path.c_str(), why.c_str(), file->local.c_str());
    }
  }
  std::error_code ignored;
  if (!keep && !file->dir.empty()) std::filesystem::remove_all(file->dir, ignored);
  delete file;
}

}  // namespace korvex::mount
