// The file system the kernel sees, one method per FUSE operation. Paths are
// answered through the one session (path_operations.cpp); an open file's
// contents live in its cache file, moved by background copies
// (file_operations.cpp); filesystem.cpp holds the operations table and what
// the mount does at its start and end.
#pragma once

#include <sys/statvfs.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "attributes.h"
#include "cache_files.h"
#include "copies.h"
#include "fuse_api.h"
#include "listing.h"
#include "meta_cache.h"
#include "mount_options.h"
#include "open_file.h"

namespace korvex::mount {

class Phone;

class Filesystem {
 public:
  Filesystem(Phone& phone, const Options& options);
  ~Filesystem() { closeAll(); }

  // Discards the files still open (at unmount).
  void closeAll();
  bool leftInCache() const { return cache_.leftInCache(); }
  void* init(fuse_conn_info* conn, fuse_config* cfg);

  int getattr(const char* path, struct stat* st, fuse_file_info* fi);
  int opendir(fuse_file_info* fi);
  int readdir(const char* path, void* buffer, fuse_fill_dir_t filler, off_t offset, fuse_file_info* fi);
  int releasedir(fuse_file_info* fi);
  int mkdir(const char* path);
  int unlink(const char* path);
  int rmdir(const char* path);
  int rename(const char* from, const char* to, unsigned int flags);
  int statfs(struct statvfs* st);
  int chmod(const char* path, mode_t mode);
  int chown(const char* path, uid_t uid, gid_t gid);

  int open(const char* path, fuse_file_info* fi);
  int create(const char* path, fuse_file_info* fi);
  int read(char* buffer, std::size_t size, off_t offset, fuse_file_info* fi);
  int write(const char* buffer, std::size_t size, off_t offset, fuse_file_info* fi);
  int truncate(const char* path, off_t size, fuse_file_info* fi);
  int flush(fuse_file_info* fi);
  int fsync(fuse_file_info* fi);
  int release(fuse_file_info* fi);

 private:
  // One opendir(): the listing it shows, taken at its start. Entries carry
  // their offsets so that the kernel takes their attributes (readdirplus).
  struct DirRow {
    std::string name;
    struct stat st;
    fuse_fill_dir_flags flags;
  };
  struct OpenDir {
    std::vector<DirRow> rows;
  };
  int listDirectory(const std::string& path, std::vector<DirRow>& rows);

  static OpenFile* fileOf(const fuse_file_info* fi) { return reinterpret_cast<OpenFile*>(fi->fh); }
  int fillLocal(OpenFile& file, struct stat* st) const;
  // Stops the file's download and ends its cache file.
  void discard(OpenFile* file);

  Phone& phone_;
  const Options options_;
  MetaCache meta_;
  CacheFiles cache_;
  Copies copies_;
  Attributes attributes_;
  OpenFiles files_;
  Listings listings_;
};

}  // namespace korvex::mount
