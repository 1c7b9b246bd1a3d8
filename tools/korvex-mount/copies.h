// Background copies between the phone and the cache files: a download
// fills the cache file when a file is opened, an upload sends all of it
// when it is closed. Each copy runs on a connection of its own, at most
// `count` at once, and reports its progress only when polled; a long wait
// ends when the caller is interrupted.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "korvex.hpp"

namespace korvex::mount {

class CacheFiles;
class MetaCache;
class Phone;
struct OpenFile;

// The copies under way at once, bounded.
class Slots {
 public:
  explicit Slots(int count) : free_(count) {}
  // false when the request was interrupted while waiting.
  bool acquire();
  void release();

 private:
  std::mutex mutex_;
  std::condition_variable freed_;
  int free_;
};

class Copies {
 public:
  using Clock = std::chrono::steady_clock;
  // `startTimeout` bounds a copy's own connection and login.
  Copies(Phone& phone, MetaCache& meta, CacheFiles& cache, int count, std::chrono::milliseconds startTimeout)
      : phone_(phone), meta_(meta), cache_(cache), slots_(count), startTimeout_(startTimeout) {}

  // Starts the download of `path` into the file's cache directory, and
  // waits until the phone takes it.
  int startDownload(OpenFile& file, const std::string& path, std::uint32_t size);
  // Waits until the cache file holds `end` bytes or the whole file.
  int waitContent(OpenFile& file, std::uint64_t end);
  // Sends the whole cache file to the phone. Called with the file's mutex.
  int upload(OpenFile& file);
  // Stops the file's download, if any. Called with the file's mutex.
  void stop(OpenFile& file);

 private:
  bool neverStarts(const korvex::Session& session, Clock::time_point started) const;
  void advance(OpenFile& file);

  Phone& phone_;
  MetaCache& meta_;
  CacheFiles& cache_;
  Slots slots_;
  const std::chrono::milliseconds startTimeout_;
};

}  // namespace korvex::mount
