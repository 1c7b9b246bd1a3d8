// Copies between the phone and the cache files: a download fills the cache
// file when a file is opened, an upload sends all of it when it is closed.
// At most `count` run at once. A small file goes whole on a session kept
// logged in between copies, since over Wi-Fi its round trips are its cost.
// A larger one is a background copy on a connection of its own: a reader
// gets its first bytes while the rest arrives, its progress is polled, and
// a long wait ends when the caller is interrupted.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "korvex.hpp"
#include "phone.h"

namespace korvex::mount {

class CacheFiles;
class MetaCache;
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
      : phone_(phone), meta_(meta), cache_(cache), slots_(count), pool_(phone.address(), phone.password()), startTimeout_(startTimeout) {}

  // Files up to this size are copied whole on a pooled session.
  static constexpr std::uint64_t kWholeCopyLimit = 1024 * 1024;

  // Starts the download of `path` into the file's cache directory, and
  // waits until the phone takes it; a small file is there on return.
  int startDownload(OpenFile& file, const std::string& path, std::uint32_t size);
  // Waits until the cache file holds `end` bytes or the whole file.
  int waitContent(OpenFile& file, std::uint64_t end);
  // Sends the whole cache file to the phone. Called with the file's mutex.
  int upload(OpenFile& file);
  // Stops the file's download, if any. Called with the file's mutex.
  void stop(OpenFile& file);

 private:
  int fetchWhole(OpenFile& file, const std::string& path);
  int sendWhole(OpenFile& file, const std::string& dest);
  int sendInBackground(OpenFile& file, const std::string& dest);
  bool neverStarts(const korvex::Session& session, Clock::time_point started) const;
  void advance(OpenFile& file);
  int takeLanded(OpenFile& file, std::uint64_t size);

  Phone& phone_;
  MetaCache& meta_;
  CacheFiles& cache_;
  Slots slots_;
  korvex::SessionPool pool_;
  const std::chrono::milliseconds startTimeout_;
};

}  // namespace korvex::mount
