#include <fcntl.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "korvex.hpp"
#include "operations.h"

namespace korvex::mount {
namespace {

// Sizes travel as 32-bit words.
constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFu;

}  // namespace

int Filesystem::open(const char* rawPath, fuse_file_info* fi) {
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
    // The kernel's pages hold what was last read under this same answer of
    // the phone: they stay. A new answer (after the attribute time-out, or
    // a change made here) drops them, whether or not the size changed.
    file->seen = attr.seen;
    fi->keep_cache = meta_.readUnder(path, attr.seen) ? 1 : 0;
  }
  fi->fh = reinterpret_cast<std::uint64_t>(files_.track(file.release()));
  return 0;
}

int Filesystem::create(const char* rawPath, fuse_file_info* fi) {
  const std::string path = rawPath;
  if (path.size() > kMaxPath) return -ENAMETOOLONG;
  auto file = std::make_unique<OpenFile>();
  file->writable = true;
  file->phonePath = path;
  if (const int error = cache_.make(*file, true)) return error;
  // Nothing reaches the phone before close: an empty upload then creates it.
  // Until then the open file answers for the path; the upload tells the
  // meta cache what landed.
  file->dirty = true;
  file->current = true;
  fi->fh = reinterpret_cast<std::uint64_t>(files_.track(file.release()));
  return 0;
}

int Filesystem::read(char* buffer, std::size_t size, off_t offset, fuse_file_info* fi) {
  OpenFile& file = *fileOf(fi);
  if (const int error = copies_.waitContent(file, static_cast<std::uint64_t>(offset) + size)) return error;
  return CacheFiles::readAt(file, buffer, size, offset);
}

int Filesystem::write(const char* buffer, std::size_t size, off_t offset, fuse_file_info* fi) {
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

int Filesystem::truncate(const char* rawPath, off_t size, fuse_file_info* fi) {
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

int Filesystem::flush(fuse_file_info* fi) {
  OpenFile& file = *fileOf(fi);
  if (!file.writable) return 0;
  std::lock_guard hold(file.mutex);
  return file.dirty && file.written ? copies_.upload(file) : 0;
}

// Asked for explicitly: whatever is unsent goes now.
int Filesystem::fsync(fuse_file_info* fi) {
  OpenFile& file = *fileOf(fi);
  if (!file.writable) return 0;
  std::lock_guard hold(file.mutex);
  return file.dirty ? copies_.upload(file) : 0;
}

int Filesystem::release(fuse_file_info* fi) {
  OpenFile* file = fileOf(fi);
  if (file->writable) {
    std::lock_guard hold(file->mutex);
    // close() uploads; this catches a handle that was never flushed. What
    // is still unsent is kept by discard().
    if (file->dirty && !file->uploadFailed) copies_.upload(*file);
  }
  {
    std::lock_guard hold(file->mutex);
    if (file->content == Content::Complete && !file->written) meta_.markRead(file->path(), file->seen);
  }
  files_.untrack(file);
  discard(file);
  return 0;
}

void Filesystem::discard(OpenFile* file) {
  {
    std::lock_guard hold(file->mutex);
    copies_.stop(*file);
    cache_.release(*file);
  }
  cache_.end(file);
}

}  // namespace korvex::mount
