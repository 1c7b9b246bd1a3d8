// The open files' cache files: one private directory each, under the mount's
// cache directory, and a bound on the bytes they hold together. A cache file
// that holds writes the phone did not confirm is the only copy of them: at
// its end it goes to the unsent directory, or else stays where it is.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <sys/types.h>

#include "open_file.h"

namespace korvex::mount {

// The bytes the cache files may hold together.
class Space {
 public:
  explicit Space(std::uint64_t limit) : limit_(limit) {}
  std::uint64_t limit() const { return limit_; }
  bool reserve(std::uint64_t bytes);
  void give(std::uint64_t bytes);

 private:
  const std::uint64_t limit_;
  std::mutex mutex_;
  std::uint64_t used_ = 0;
};

class CacheFiles {
 public:
  CacheFiles(std::filesystem::path dir, std::uint64_t limit, std::filesystem::path unsentDir)
      : dir_(std::move(dir)), unsentDir_(std::move(unsentDir)), space_(limit) {}

  std::uint64_t limit() const { return space_.limit(); }
  // Whether a cache file was left in the cache directory at its end.
  bool leftInCache() const { return leftInCache_.load(); }

  // The file's own directory, and its empty cache file when `create` (a
  // download makes its own).
  int make(OpenFile& file, bool create);
  // Holds `end` bytes of cache space for the file. Called with its mutex.
  int grow(OpenFile& file, std::uint64_t end);

  // Makes the downloaded cache file the one reads and writes use; false when
  // it is not there at its announced size. Called with the file's mutex.
  bool adoptComplete(OpenFile& file, std::uint32_t size);
  // While a download runs, its bytes land in the one file in the open
  // file's directory (the library's temporary, later put in place): reads
  // are served from it as they arrive. Called with the file's mutex.
  void adoptPartial(OpenFile& file);

  // The size of the cache file open as `fd`, or at `local`: 0, or -errno.
  static int sizeOf(int fd, std::uint64_t& size);
  static int sizeAt(const std::string& local, std::uint64_t& size);
  // pread, pwrite, ftruncate on the cache file: bytes moved, or -errno.
  static int readAt(OpenFile& file, char* buffer, std::size_t size, off_t offset);
  static int writeAt(OpenFile& file, const char* buffer, std::size_t size, off_t offset);
  static int cut(OpenFile& file, off_t size);

  // Gives the file's space back and closes its replaced descriptors. Called
  // with its mutex.
  void release(OpenFile& file);
  // Closes the cache file and removes its directory, unless it holds what
  // was written and not confirmed: that is moved to the unsent directory,
  // or else left in place. Deletes the file.
  void end(OpenFile* file);

 private:
  const std::filesystem::path dir_;
  const std::filesystem::path unsentDir_;
  Space space_;
  std::atomic<std::uint64_t> counter_{0};
  std::atomic<bool> leftInCache_{false};
};

}  // namespace korvex::mount
