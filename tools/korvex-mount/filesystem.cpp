#include "filesystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "korvex.h"
#include "listing.h"
#include "attributes.h"
#include "cache_files.h"
#include "copies.h"
#include "meta_cache.h"
#include "note.h"
#include "open_file.h"
#include "phone.h"
#include "phone_limits.h"
#include "refusal.h"

namespace korvex::mount {
namespace {

OpenFile* fileOf(const fuse_file_info* fi) { return reinterpret_cast<OpenFile*>(fi->fh); }

}  // namespace

class Filesystem {
 public:
  Filesystem(Phone& phone, const Options& options)
      : phone_(phone),
        options_(options),
        meta_(options.attrTimeout),
        cache_(options.cacheDir, options.cacheBytes, options.unsentDir),
        copies_(phone, meta_, cache_, options.copies, options.startTimeout),
        attributes_(phone, meta_) {}

  ~Filesystem() { closeAll(); }

  // Discards the files still open (at unmount).
  void closeAll() {
    for (OpenFile* file : files_.takeAll()) discard(file);
  }

  bool leftInCache() const { return cache_.leftInCache(); }

  void* init(fuse_conn_info* conn, fuse_config* cfg) {
    const double seconds = std::chrono::duration<double>(options_.attrTimeout).count();
    cfg->attr_timeout = seconds;
    cfg->entry_timeout = seconds;
    cfg->negative_timeout = 0;
    cfg->use_ino = 0;
    // An unlinked open file keeps its cache file; nothing is parked on the
    // phone under a hidden name.
    cfg->hard_remove = 1;
    // A long wait for a copy (open, read, close) ends when the caller is
    // interrupted.
    cfg->intr = 1;
    if (conn->capable & FUSE_CAP_ATOMIC_O_TRUNC) conn->want |= FUSE_CAP_ATOMIC_O_TRUNC;
    // Connects in the mounted process (the caller's session does not survive
    // going to the background).
    if (!phone_.session()) note("not connected yet; the next operation tries again");
    return this;
  }

  int getattr(const char* rawPath, struct stat* st, fuse_file_info* fi) {
    std::memset(st, 0, sizeof *st);
    const std::string path = rawPath;
    if (path == "/") {
      attributes_.fill(Attr{Kind::Directory, std::nullopt}, st);
      return 0;
    }
    if (fi && fi->fh && fileOf(fi)->current.load()) return fillLocal(*fileOf(fi), st);
    if (OpenFile* pending = files_.current(path)) return fillLocal(*pending, st);
    Attr attr;
    if (const int error = attributes_.lookup(path, attr)) return error;
    attributes_.fill(attr, st);
    return 0;
  }

  int readdir(const char* rawPath, void* buffer, fuse_fill_dir_t filler) {
    const std::string path = rawPath;
    if (path.size() > kMaxPath) return -ENAMETOOLONG;
    Listing listing;
    if (const int error = listings_.fetch(phone_, path, listing)) return error;
    // Always asked afresh: a listing is how changes made elsewhere show up.
    meta_.rememberListing(path, listing.files, listing.dirs);

    struct stat st {};
    st.st_mode = S_IFDIR;
    filler(buffer, ".", &st, 0, fuse_fill_dir_flags{});
    filler(buffer, "..", &st, 0, fuse_fill_dir_flags{});
    for (const std::string& name : listing.dirs) filler(buffer, name.c_str(), &st, 0, fuse_fill_dir_flags{});
    st.st_mode = S_IFREG;
    std::set<std::string> shown(listing.files.begin(), listing.files.end());
    for (const std::string& name : listing.files) filler(buffer, name.c_str(), &st, 0, fuse_fill_dir_flags{});
    // Files created here whose first upload is still to come.
    for (const std::string& name : files_.currentNames(path)) {
      if (shown.insert(name).second) filler(buffer, name.c_str(), &st, 0, fuse_fill_dir_flags{});
    }
    return 0;
  }

  int open(const char* rawPath, fuse_file_info* fi) {
    const std::string path = rawPath;
    const int access = fi->flags & O_ACCMODE;
    auto file = std::make_unique<OpenFile>();
    file->writable = access != O_RDONLY;
    file->phonePath = path;
    const bool truncating = file->writable && (fi->flags & O_TRUNC);
    if (const int error = cache_.make(*file, truncating)) return error;
    if (truncating) {
      file->dirty = true;
      file->current = true;
    } else {
      Attr attr;
      int error = attributes_.lookup(path, attr);
      if (!error && attr.kind == Kind::Directory) error = -EISDIR;
      if (!error) error = copies_.startDownload(*file, path, attr.size.value_or(0));
      if (error) {
        discard(file.release());
        return error;
      }
    }
    fi->fh = reinterpret_cast<std::uint64_t>(files_.track(file.release()));
    return 0;
  }

  int create(const char* rawPath, fuse_file_info* fi) {
    const std::string path = rawPath;
    if (path.size() > kMaxPath) return -ENAMETOOLONG;
    auto file = std::make_unique<OpenFile>();
    file->writable = true;
    file->phonePath = path;
    if (const int error = cache_.make(*file, true)) return error;
    // Nothing reaches the phone before close: an empty upload then creates it.
    file->dirty = true;
    file->current = true;
    meta_.forget(path);
    fi->fh = reinterpret_cast<std::uint64_t>(files_.track(file.release()));
    return 0;
  }

  int read(char* buffer, std::size_t size, off_t offset, fuse_file_info* fi) {
    OpenFile& file = *fileOf(fi);
    if (const int error = copies_.waitContent(file, static_cast<std::uint64_t>(offset) + size)) return error;
    return CacheFiles::readAt(file, buffer, size, offset);
  }

  int write(const char* buffer, std::size_t size, off_t offset, fuse_file_info* fi) {
    OpenFile& file = *fileOf(fi);
    if (!file.writable) return -EBADF;
    // A change to an existing file rewrites all of it: its old bytes first.
    if (const int error = copies_.waitContent(file, UINT64_MAX)) return error;
    const std::uint64_t end = static_cast<std::uint64_t>(offset) + size;
    if (end > kMaxFileSize) return -EFBIG;
    std::lock_guard hold(file.mutex);
    if (const int error = cache_.grow(file, end)) return error;
    const int put = CacheFiles::writeAt(file, buffer, size, offset);
    if (put < 0) return put;
    file.dirty = true;
    file.written = true;
    file.uploadFailed = false;
    file.current = true;
    return put;
  }

  int truncate(const char* rawPath, off_t size, fuse_file_info* fi) {
    if (static_cast<std::uint64_t>(size) > kMaxFileSize) return -EFBIG;
    if (!fi || !fi->fh) {
      // No open file: open one, cut it, send it.
      fuse_file_info own{};
      own.flags = size == 0 ? (O_WRONLY | O_TRUNC) : O_RDWR;
      if (const int error = open(rawPath, &own)) return error;
      int error = truncate(rawPath, size, &own);
      if (!error) error = flush(&own);
      release(&own);
      return error;
    }
    OpenFile& file = *fileOf(fi);
    if (!file.writable) return -EBADF;
    if (const int error = copies_.waitContent(file, UINT64_MAX)) return error;
    std::lock_guard hold(file.mutex);
    if (const int error = cache_.grow(file, static_cast<std::uint64_t>(size))) return error;
    if (const int error = CacheFiles::cut(file, size)) return error;
    file.dirty = true;
    file.written = true;
    file.current = true;
    return 0;
  }

  int flush(fuse_file_info* fi) {
    OpenFile& file = *fileOf(fi);
    if (!file.writable) return 0;
    std::lock_guard hold(file.mutex);
    return file.dirty && file.written ? copies_.upload(file) : 0;
  }

  // Asked for explicitly: whatever is unsent goes now.
  int fsync(fuse_file_info* fi) {
    OpenFile& file = *fileOf(fi);
    if (!file.writable) return 0;
    std::lock_guard hold(file.mutex);
    return file.dirty ? copies_.upload(file) : 0;
  }

  int release(fuse_file_info* fi) {
    OpenFile* file = fileOf(fi);
    if (file->writable) {
      std::lock_guard hold(file->mutex);
      // close() uploads; this catches a handle that was never flushed. What
      // is still unsent is kept by discard().
      if (file->dirty && !file->uploadFailed) copies_.upload(*file);
    }
    files_.untrack(file);
    discard(file);
    return 0;
  }

  int mkdir(const char* path) {
    if (std::strlen(path) > kMaxPath) return -ENAMETOOLONG;
    SessionRef session = phone_.session();
    if (!session) return -EIO;
    const bool done = CreatePhoneDirectory(session, path);
    meta_.forget(path);
    return done ? 0 : mkdirRefusal(phone_, session, path);
  }

  int unlink(const char* path) {
    SessionRef session = phone_.session();
    if (!session) return -EIO;
    const bool done = DeletePhoneFile(session, path);
    meta_.forget(path);
    return done ? 0 : unlinkRefusal(phone_, session, path);
  }

  int rmdir(const char* path) {
    SessionRef session = phone_.session();
    if (!session) return -EIO;
    const bool done = DeleteDirectory(session, path, false);
    meta_.forget(path);
    return done ? 0 : rmdirRefusal(phone_, session, path);
  }

  int rename(const char* from, const char* to, unsigned int flags) {
    // RENAME_NOREPLACE and RENAME_EXCHANGE have no counterpart on the phone.
    if (flags != 0) return -EINVAL;
    if (std::strlen(to) > kMaxRenameDest || std::strlen(from) > kMaxPath) return -ENAMETOOLONG;
    // A file written here but not yet closed is only in the cache: send it
    // first, or the phone has nothing to move.
    if (const int error = files_.uploadPending(from, [this](OpenFile& file) { return copies_.upload(file); })) return error;
    SessionRef session = phone_.session();
    if (!session) return -EIO;
    const bool done = Rename(session, from, to);
    meta_.forget(from);
    meta_.forget(to);
    if (!done) return renameRefusal(phone_, session, from, to);
    files_.move(from, to);
    return 0;
  }

  int statfs(struct statvfs* st) {
    SessionRef session = phone_.session();
    if (!session) return -EIO;
    const int kib = GetSpaceSize(session, "/");
    if (kib < 0 || !phone_.alive(session)) return -EIO;
    std::memset(st, 0, sizeof *st);
    // The phone tells only the free space (in KiB): the total is unknown, so
    // the mount reports itself as that size and empty.
    st->f_bsize = kBlockSize;
    st->f_frsize = 1024;
    st->f_blocks = st->f_bfree = st->f_bavail = static_cast<fsblkcnt_t>(kib);
    st->f_namemax = 255;
    return 0;
  }

  // Modes cannot be stored on the phone: asking for the mode already shown
  // succeeds, any other is refused.
  int chmod(const char* path, mode_t mode) {
    Attr attr;
    if (std::strcmp(path, "/") == 0) {
      attr.kind = Kind::Directory;
    } else if (const int error = attributes_.lookup(path, attr)) {
      return error;
    }
    return (mode & 07777) == attributes_.modeOf(attr.kind) ? 0 : -EPERM;
  }

  int chown(const char* path, uid_t uid, gid_t gid) {
    if (uid == static_cast<uid_t>(-1) && gid == static_cast<gid_t>(-1)) return 0;
    SessionRef session = phone_.session();
    if (!session) return -EIO;
    std::vector<char> copy(path, path + std::strlen(path) + 1);
    if (Chown(reinterpret_cast<unsigned long>(static_cast<SessionHandle>(session)), copy.data(), static_cast<int>(uid), static_cast<int>(gid))) {
      return 0;
    }
    return chownRefusal(phone_, session);
  }

  // The phone keeps no times.
  int utimens(const struct timespec times[2]) {
    if (times && times[0].tv_nsec == UTIME_OMIT && times[1].tv_nsec == UTIME_OMIT) return 0;
    return -ENOTSUP;
  }

 private:
  int fillLocal(OpenFile& file, struct stat* st) const {
    std::uint64_t size = 0;
    if (const int error = CacheFiles::sizeOf(file.fd.load(), size)) return error;
    attributes_.fill(Attr{Kind::File, static_cast<std::uint32_t>(size)}, st);
    return 0;
  }

  // Stops the file's download and ends its cache file.
  void discard(OpenFile* file) {
    {
      std::lock_guard hold(file->mutex);
      copies_.stop(*file);
      cache_.release(*file);
    }
    cache_.end(file);
  }

  Phone& phone_;
  const Options options_;
  MetaCache meta_;
  CacheFiles cache_;
  Copies copies_;
  Attributes attributes_;
  OpenFiles files_;
  Listings listings_;
};

namespace {

Filesystem& self() { return *static_cast<Filesystem*>(fuse_get_context()->private_data); }

}  // namespace

Filesystem* newFilesystem(Phone& phone, const Options& options) { return new Filesystem(phone, options); }
bool deleteFilesystem(Filesystem* filesystem) {
  filesystem->closeAll();
  const bool left = filesystem->leftInCache();
  delete filesystem;
  return left;
}

fuse_operations operations() {
  fuse_operations ops{};
  ops.init = [](fuse_conn_info* conn, fuse_config* cfg) -> void* {
    return static_cast<Filesystem*>(fuse_get_context()->private_data)->init(conn, cfg);
  };
  ops.getattr = [](const char* path, struct stat* st, fuse_file_info* fi) { return self().getattr(path, st, fi); };
  ops.readdir = [](const char* path, void* buffer, fuse_fill_dir_t filler, off_t, fuse_file_info*, fuse_readdir_flags) {
    return self().readdir(path, buffer, filler);
  };
  ops.open = [](const char* path, fuse_file_info* fi) { return self().open(path, fi); };
  ops.create = [](const char* path, mode_t, fuse_file_info* fi) { return self().create(path, fi); };
  ops.read = [](const char*, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    return self().read(buffer, size, offset, fi);
  };
  ops.write = [](const char*, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    return self().write(buffer, size, offset, fi);
  };
  ops.truncate = [](const char* path, off_t size, fuse_file_info* fi) { return self().truncate(path, size, fi); };
  ops.flush = [](const char*, fuse_file_info* fi) { return self().flush(fi); };
  ops.fsync = [](const char*, int, fuse_file_info* fi) { return self().fsync(fi); };
  ops.release = [](const char*, fuse_file_info* fi) { return self().release(fi); };
  ops.mkdir = [](const char* path, mode_t) { return self().mkdir(path); };
  ops.unlink = [](const char* path) { return self().unlink(path); };
  ops.rmdir = [](const char* path) { return self().rmdir(path); };
  ops.rename = [](const char* from, const char* to, unsigned int flags) { return self().rename(from, to, flags); };
  ops.statfs = [](const char*, struct statvfs* st) { return self().statfs(st); };
  ops.chmod = [](const char* path, mode_t mode, fuse_file_info*) { return self().chmod(path, mode); };
  ops.chown = [](const char* path, uid_t uid, gid_t gid, fuse_file_info*) { return self().chown(path, uid, gid); };
  ops.utimens = [](const char*, const struct timespec times[2], fuse_file_info*) { return self().utimens(times); };
  // No links and no special files on the phone.
  ops.symlink = [](const char*, const char*) { return -EPERM; };
  ops.link = [](const char*, const char*) { return -EPERM; };
  ops.mknod = [](const char*, mode_t, dev_t) { return -EPERM; };
  return ops;
}

}  // namespace korvex::mount
