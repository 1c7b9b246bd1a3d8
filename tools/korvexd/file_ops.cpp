#include "file_ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <limits>

namespace korvexd {
namespace {

// Mutating commands act on the last component through its parent, so a
// symlink there is renamed, removed or chowned itself, never followed.
struct Target {
  Fd dir;
  std::string name;
};

// Whether a component of `path` is an upload's temporary name. A path that
// climbs is left to Root, which refuses it with its own reason.
bool namesUploadTemp(std::string_view path) {
  std::vector<std::string_view> parts;
  if (!splitPhonePath(path, parts)) return false;
  return std::any_of(parts.begin(), parts.end(), isUploadTempName);
}

// Root::open for requests: an upload in progress is answered as missing.
Fd openVisible(const Root& root, std::string_view path, int flags, int& error) {
  if (namesUploadTemp(path)) {
    error = ENOENT;
    return Fd();
  }
  return root.open(path, flags, error);
}

int locate(const Root& root, std::string_view path, Target& target) {
  if (namesUploadTemp(path)) return ENOENT;
  int error = 0;
  target.dir = root.openParent(path, target.name, error);
  if (error) return error;
  return target.name.empty() ? EBUSY : 0;  // the root itself stays
}

// For commands that create the last component: creating a reserved name is
// refused as such, reaching through one is answered as missing.
int locateNew(const Root& root, std::string_view path, Target& target) {
  std::vector<std::string_view> parts;
  if (splitPhonePath(path, parts) && !parts.empty() && isUploadTempName(parts.back())) {
    parts.pop_back();
    return std::any_of(parts.begin(), parts.end(), isUploadTempName) ? ENOENT : kReservedNameError;
  }
  return locate(root, path, target);
}

// One open directory of the tree being removed.
struct Level {
  DIR* dir;
  std::string name;  // its name in the level above
};

int closeLevels(std::vector<Level>& levels, int error) {
  for (Level& level : levels) closedir(level.dir);
  levels.clear();
  return error;
}

// Depth-first removal of everything below `dirFd` with an explicit stack, so a
// deep tree cannot overflow the small connection thread stack. Each level is
// opened with O_NOFOLLOW relative to its parent: a symlink is unlinked, never
// entered, and the walk cannot leave the tree.
int removeContents(int dirFd) {
  int first = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (first < 0) return errno;
  DIR* top = fdopendir(first);
  if (!top) {
    int error = errno;
    ::close(first);
    return error;
  }
  std::vector<Level> levels{{top, {}}};
  while (!levels.empty()) {
    DIR* dir = levels.back().dir;
    errno = 0;
    dirent* entry = readdir(dir);
    if (!entry) {
      if (errno) return closeLevels(levels, errno);
      std::string name = std::move(levels.back().name);
      closedir(dir);
      levels.pop_back();
      if (!levels.empty() && unlinkat(dirfd(levels.back().dir), name.c_str(), AT_REMOVEDIR) != 0)
        return closeLevels(levels, errno);
      continue;
    }
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (unlinkat(dirfd(dir), entry->d_name, 0) == 0) continue;
    if (errno != EISDIR) return closeLevels(levels, errno);
    int child = ::openat(dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child < 0) return closeLevels(levels, errno);
    DIR* childDir = fdopendir(child);
    if (!childDir) {
      int error = errno;
      ::close(child);
      return closeLevels(levels, error);
    }
    levels.push_back({childDir, std::string(name)});
  }
  return 0;
}

std::atomic<unsigned> uploadSequence{0};

// The size of an open regular file, which must fit the 32-bit size word.
int regularFileSize(int fd, std::uint32_t& size) {
  struct stat st{};
  if (fstat(fd, &st) != 0) return errno;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  if (static_cast<std::uint64_t>(st.st_size) > std::numeric_limits<std::uint32_t>::max()) return kTooLargeError;
  size = static_cast<std::uint32_t>(st.st_size);
  return 0;
}

}  // namespace

bool isUploadTempName(std::string_view name) { return name.starts_with(kUploadTempPrefix); }

namespace {

// Calls `visit(directory fd, name, stat)` for everything below the root,
// links not followed; an entry that cannot be read is passed over.
template <class Visit>
void forEachBelow(const Root& root, Visit visit) {
  int error = 0;
  Fd top = root.open("", O_RDONLY | O_DIRECTORY, error);
  if (!top.valid()) return;
  DIR* first = fdopendir(top.get());
  if (!first) return;
  top.release();
  // An explicit stack, as in removeContents: a deep tree must not overflow.
  std::vector<DIR*> stack{first};
  while (!stack.empty()) {
    DIR* dir = stack.back();
    dirent* entry = readdir(dir);
    if (!entry) {
      closedir(dir);
      stack.pop_back();
      continue;
    }
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st{};
    if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    visit(dirfd(dir), name, st);
    if (S_ISDIR(st.st_mode)) {
      int child = ::openat(dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child < 0) continue;  // unreadable: nothing of ours can be inside
      DIR* childDir = fdopendir(child);
      if (!childDir) {
        ::close(child);
        continue;
      }
      stack.push_back(childDir);
    }
  }
}

}  // namespace

std::size_t removeStaleUploads(const Root& root) {
  std::size_t removed = 0;
  forEachBelow(root, [&removed](int dir, std::string_view name, const struct stat& st) {
    if (S_ISREG(st.st_mode) && isUploadTempName(name) && unlinkat(dir, std::string(name).c_str(), 0) == 0) ++removed;
  });
  return removed;
}

std::uint64_t storedBytes(const Root& root) {
  std::uint64_t bytes = 0;
  forEachBelow(root, [&bytes](int, std::string_view, const struct stat& st) {
    if (S_ISREG(st.st_mode)) bytes += static_cast<std::uint64_t>(st.st_size);
  });
  return bytes;
}

int renamePath(const Root& root, std::string_view from, std::string_view to) {
  Target source, dest;
  if (int error = locate(root, from, source)) return error;
  if (int error = locateNew(root, to, dest)) return error;
  if (renameat(source.dir.get(), source.name.c_str(), dest.dir.get(), dest.name.c_str()) != 0) return errno;
  return 0;
}

int deleteFile(const Root& root, std::string_view path) {
  Target target;
  if (int error = locate(root, path, target)) return error;
  return unlinkat(target.dir.get(), target.name.c_str(), 0) == 0 ? 0 : errno;
}

int deleteDirectory(const Root& root, std::string_view path, bool tree) {
  Target target;
  if (int error = locate(root, path, target)) return error;
  if (tree) {
    Fd dir(::openat(target.dir.get(), target.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid()) return errno;
    if (int error = removeContents(dir.get())) return error;
  }
  return unlinkat(target.dir.get(), target.name.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
}

int makeDirectory(const Root& root, std::string_view path) {
  Target target;
  if (int error = locateNew(root, path, target)) return error;
  return mkdirat(target.dir.get(), target.name.c_str(), 0777) == 0 ? 0 : errno;
}

int listDirectory(const Root& root, std::string_view path, EntryKind kind, std::vector<std::string>& names) {
  int error = 0;
  Fd fd = openVisible(root, path, O_RDONLY | O_DIRECTORY, error);
  if (error) return error;
  DIR* dir = fdopendir(fd.get());
  if (!dir) return errno;
  fd.release();  // the DIR owns it now
  names.clear();
  for (;;) {
    errno = 0;
    dirent* entry = readdir(dir);
    if (!entry) {
      error = errno;
      break;
    }
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {  // some filesystems leave the type to stat
      struct stat st{};
      if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      type = S_ISREG(st.st_mode) ? DT_REG : S_ISDIR(st.st_mode) ? DT_DIR : DT_UNKNOWN;
    }
    if (type != (kind == EntryKind::File ? DT_REG : DT_DIR)) continue;
    if (isUploadTempName(name)) continue;
    names.emplace_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return error;
}

int fileSize(const Root& root, std::string_view path, std::uint32_t& size) {
  int error = 0;
  Fd fd = openVisible(root, path, O_PATH, error);
  if (error) return error;
  return regularFileSize(fd.get(), size);
}

bool isDirectory(const Root& root, std::string_view path, int& error) {
  return openVisible(root, path, O_PATH | O_DIRECTORY, error).valid();
}

bool exists(const Root& root, std::string_view path, int& error) {
  return openVisible(root, path, O_PATH, error).valid();
}

int changeOwner(const Root& root, std::string_view path, std::int32_t owner, std::int32_t group) {
  int error = 0;
  // O_PATH|O_NOFOLLOW holds the last component itself, so a symlink is changed
  // like lchown(2) would, and the root itself needs no parent.
  Fd fd = openVisible(root, path, O_PATH | O_NOFOLLOW, error);
  if (error) return error;
  if (fchownat(fd.get(), "", static_cast<uid_t>(owner), static_cast<gid_t>(group), AT_EMPTY_PATH) != 0) return errno;
  return 0;
}

int freeSpaceKiB(const Root& root, std::string_view path, std::uint64_t& kib) {
  int error = 0;
  Fd fd = openVisible(root, path, O_PATH, error);
  if (error) return error;
  struct statvfs fs{};
  if (fstatvfs(fd.get(), &fs) != 0) return errno;
  kib = static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize / 1024;
  return 0;
}

int openForDownload(const Root& root, std::string_view path, Fd& file, std::uint32_t& size) {
  int error = 0;
  // O_NONBLOCK: opening a FIFO placed in the root must not hang the connection.
  file = openVisible(root, path, O_RDONLY | O_NONBLOCK, error);
  if (error) return error;
  return regularFileSize(file.get(), size);
}

Upload::~Upload() { discard(); }

void Upload::discard() {
  if (!file_.valid()) return;
  file_.reset();
  unlinkat(dir_.get(), tempName_.c_str(), 0);
}

int Upload::begin(const Root& root, std::string_view path, unsigned newMode) {
  Target target;
  if (int error = locateNew(root, path, target)) return error;
  struct stat st{};
  if (fstatat(target.dir.get(), target.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
    return EISDIR;  // the rename at the end would fail after all bytes arrived

  char temp[64];
  std::snprintf(temp, sizeof temp, "%.*s%d-%u", static_cast<int>(kUploadTempPrefix.size()), kUploadTempPrefix.data(),
                static_cast<int>(getpid()), uploadSequence++);
  // 0600 whatever the umask: nobody else may read the bytes while they arrive.
  Fd file(::openat(target.dir.get(), temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) return errno;
  dir_ = std::move(target.dir);
  file_ = std::move(file);
  name_ = std::move(target.name);
  tempName_ = temp;
  newMode_ = newMode;
  return 0;
}

int Upload::write(const void* data, std::size_t size) {
  const auto* at = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(file_.get(), at, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    at += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

int Upload::commit() {
  // Looked up now, not at begin(): the file replaced is the one there at the rename.
  struct stat st{};
  mode_t mode = static_cast<mode_t>(newMode_);
  if (fstatat(dir_.get(), name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
    mode = st.st_mode & 0777;
  if (::fchmod(file_.get(), mode) != 0) {
    int error = errno;
    discard();
    return error;
  }
  if (::close(file_.release()) != 0) {  // NFS and quotas report late write errors here
    int error = errno;
    unlinkat(dir_.get(), tempName_.c_str(), 0);
    return error;
  }
  if (renameat(dir_.get(), tempName_.c_str(), dir_.get(), name_.c_str()) != 0) {
    int error = errno;
    unlinkat(dir_.get(), tempName_.c_str(), 0);
    return error;
  }
  return 0;
}

}  // namespace korvexd
