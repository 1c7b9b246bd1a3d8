#include "filesystem.h"

#include <cerrno>

#include "note.h"
#include "operations.h"
#include "phone.h"

namespace korvex::mount {

Filesystem::Filesystem(Phone& phone, const Options& options)
    : phone_(phone),
      options_(options),
      meta_(options.attrTimeout),
      cache_(options.cacheDir, options.cacheBytes, options.unsentDir),
      copies_(phone, meta_, cache_, options.copies, options.startTimeout),
      attributes_(phone, meta_) {}

void Filesystem::closeAll() {
  for (OpenFile* file : files_.takeAll()) discard(file);
}

void* Filesystem::init(fuse_conn_info* conn, fuse_config* cfg) {
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
  // Writes come in pieces of up to 1 MiB (libfuse's buffer allows no more);
  // reads are bounded by the kernel alone.
  conn->max_write = 1u << 20;
  // A listing brings every entry's attributes at no extra cost: each part
  // of it hands them to the kernel, not only the first.
  conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
  // Connects in the mounted process (the caller's session does not survive
  // going to the background).
  if (!phone_.session()) note("not connected yet; the next operation tries again");
  return this;
}

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
  ops.opendir = [](const char*, fuse_file_info* fi) { return self().opendir(fi); };
  ops.readdir = [](const char* path, void* buffer, fuse_fill_dir_t filler, off_t offset, fuse_file_info* fi,
                   fuse_readdir_flags) { return self().readdir(path, buffer, filler, offset, fi); };
  ops.releasedir = [](const char*, fuse_file_info* fi) { return self().releasedir(fi); };
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
  // The phone keeps no times: a change is accepted and ignored, so touch,
  // cp -p and the like succeed, as on network file systems without times.
  ops.utimens = [](const char*, const struct timespec[2], fuse_file_info*) { return 0; };
  // No links and no special files on the phone.
  ops.symlink = [](const char*, const char*) { return -EPERM; };
  ops.link = [](const char*, const char*) { return -EPERM; };
  ops.mknod = [](const char*, mode_t, dev_t) { return -EPERM; };
  return ops;
}

}  // namespace korvex::mount
