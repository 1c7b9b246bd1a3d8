#include <cerrno>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "korvex.hpp"
#include "operations.h"
#include "phone.h"
#include "refusal.h"

namespace korvex::mount {
namespace {

// A command that changes one phone path: what is known of the path is
// forgotten whatever the answer, and a refusal is asked for its reason.
template <typename Command>
int changePath(Phone& phone, MetaCache& meta, const std::string& path, Command command) {
  const SessionRef session = phone.session();
  if (!session) return -EIO;
  const korvex::Status done = command(*session, path);
  meta.forget(path);
  return errnoOf(done.error());
}

}  // namespace

int Filesystem::getattr(const char* rawPath, struct stat* st, fuse_file_info* fi) {
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

int Filesystem::fillLocal(OpenFile& file, struct stat* st) const {
  std::uint64_t size = 0;
  if (const int error = CacheFiles::sizeOf(file.fd.load(), size)) return error;
  attributes_.fill(Attr{Kind::File, static_cast<std::uint32_t>(size)}, st);
  return 0;
}

int Filesystem::opendir(fuse_file_info* fi) {
  fi->fh = reinterpret_cast<std::uint64_t>(new OpenDir);
  return 0;
}

int Filesystem::releasedir(fuse_file_info* fi) {
  delete reinterpret_cast<OpenDir*>(fi->fh);
  return 0;
}

int Filesystem::readdir(const char* path, void* buffer, fuse_fill_dir_t filler, off_t offset, fuse_file_info* fi) {
  OpenDir& dir = *reinterpret_cast<OpenDir*>(fi->fh);
  // From the start (a new handle, or rewinddir): asked afresh, as a listing
  // is how changes made elsewhere show up.
  if (offset == 0) {
    if (const int error = listDirectory(path, dir.rows)) return error;
  }
  for (std::size_t at = static_cast<std::size_t>(offset); at < dir.rows.size(); ++at) {
    const DirRow& row = dir.rows[at];
    if (filler(buffer, row.name.c_str(), &row.st, static_cast<off_t>(at + 1), row.flags) != 0) break;
  }
  return 0;
}

int Filesystem::listDirectory(const std::string& path, std::vector<DirRow>& rows) {
  if (path.size() > kMaxPath) return -ENAMETOOLONG;
  Listing listing;
  if (const int error = listings_.fetch(phone_, path, listing)) return error;
  meta_.rememberListing(path, listing);

  rows.clear();
  rows.reserve(listing.size() + 2);
  const auto add = [&rows](std::string name, mode_t mode) -> DirRow& {
    DirRow& row = rows.emplace_back(DirRow{std::move(name), {}, fuse_fill_dir_flags{}});
    row.st.st_mode = mode;
    return row;
  };
  add(".", S_IFDIR);
  add("..", S_IFDIR);
  // Files created or written here show what their cache file holds: the
  // kernel asks getattr for those.
  const std::vector<std::string> local = files_.currentNames(path);
  const std::set<std::string> held(local.begin(), local.end());
  std::set<std::string> shown;
  for (NamedAttr& entry : listing) {
    shown.insert(entry.name);
    DirRow& row = add(std::move(entry.name), entry.attr.kind == Kind::Directory ? S_IFDIR : S_IFREG);
    if ((entry.attr.kind == Kind::Directory || entry.attr.size) && !held.count(row.name)) {
      // The kernel keeps these for the attribute time-out: `ls -l` asks
      // nothing more.
      attributes_.fill(entry.attr, &row.st);
      row.flags = FUSE_FILL_DIR_PLUS;
    }
  }
  // Files created here whose first upload is still to come.
  for (const std::string& name : local) {
    if (shown.insert(name).second) add(name, S_IFREG);
  }
  return 0;
}

int Filesystem::mkdir(const char* rawPath) {
  const std::string path = rawPath;
  if (path.size() > kMaxPath) return -ENAMETOOLONG;
  const SessionRef session = phone_.session();
  if (!session) return -EIO;
  if (const korvex::Status made = session->make_directory(path); !made) {
    meta_.forget(path);
    return errnoOf(made.error());
  }
  // Made just now, so empty: the names a copy puts in it are known missing.
  meta_.learn(path, Attr{Kind::Directory, std::nullopt});
  std::vector<NamedAttr> none;
  meta_.rememberListing(path, none);
  return 0;
}

int Filesystem::unlink(const char* path) {
  const auto remove = [](const korvex::Session& session, const std::string& file) { return session.remove(file); };
  return changePath(phone_, meta_, path, remove);
}

int Filesystem::rmdir(const char* path) {
  const auto remove = [](const korvex::Session& session, const std::string& dir) {
    return session.remove_directory(dir);
  };
  return changePath(phone_, meta_, path, remove);
}

int Filesystem::rename(const char* from, const char* to, unsigned int flags) {
  // RENAME_NOREPLACE and RENAME_EXCHANGE have no counterpart on the phone.
  if (flags != 0) return -EINVAL;
  if (std::strlen(to) > kMaxRenameDest || std::strlen(from) > kMaxPath) return -ENAMETOOLONG;
  // A file written here but not yet closed is only in the cache: send it
  // first, or the phone has nothing to move.
  if (const int error = files_.uploadPending(from, [this](OpenFile& file) { return copies_.upload(file); })) return error;
  const SessionRef session = phone_.session();
  if (!session) return -EIO;
  const korvex::Status done = session->rename(from, to);
  meta_.forget(from);
  meta_.forget(to);
  if (!done) return errnoOf(done.error());
  files_.move(from, to);
  return 0;
}

int Filesystem::statfs(struct statvfs* st) {
  const SessionRef session = phone_.session();
  if (!session) return -EIO;
  // The phone's free space is a signed word: one with its top bit set is
  // no answer.
  const korvex::Result<std::uint32_t> kib = session->free_space("/");
  if (!kib || *kib > INT32_MAX || !session->connected()) return -EIO;
  std::memset(st, 0, sizeof *st);
  // The phone tells only the free space (in KiB): the total is unknown, so
  // the mount reports itself as that size and empty.
  st->f_bsize = kBlockSize;
  st->f_frsize = 1024;
  st->f_blocks = st->f_bfree = st->f_bavail = static_cast<fsblkcnt_t>(*kib);
  st->f_namemax = 255;
  return 0;
}

// Modes cannot be stored on the phone: asking for the mode already shown
// succeeds, any other is refused. A file being written here (created or
// rewritten, still open) takes any mode and ignores it: that is a copy
// program (mv, cp -p, sed -i) carrying the source's mode over, and its
// file arrives with the phone's mode like every other.
int Filesystem::chmod(const char* path, mode_t mode) {
  if (files_.current(path)) return 0;
  Attr attr;
  if (std::strcmp(path, "/") == 0) {
    attr.kind = Kind::Directory;
  } else if (const int error = attributes_.lookup(path, attr)) {
    return error;
  }
  return (mode & 07777) == attributes_.modeOf(attr.kind) ? 0 : -EPERM;
}

int Filesystem::chown(const char* path, uid_t uid, gid_t gid) {
  if (uid == static_cast<uid_t>(-1) && gid == static_cast<gid_t>(-1)) return 0;
  const SessionRef session = phone_.session();
  if (!session) return -EIO;
  return errnoOf(session->chown(path, static_cast<int>(uid), static_cast<int>(gid)).error());
}

}  // namespace korvex::mount
