// Read-ahead: when the files of one folder are opened one after another
// (cp -r, a file manager's thumbnails), the next ones are fetched on the
// mount's session pool while the current one is read, several requests in
// flight on one session (Session::download_files), so each file no longer
// waits a round trip of its own at open().
//
// The pattern is the second file opened after another in the same folder,
// further on in name order; the next files listed after it (small ones,
// copied whole) are asked for, as many as the window and the cache space
// allow, and topped up at each open. Anything else (a file of another
// folder, an earlier name, a write, a rename, the end of the mount) breaks
// it: what is in flight is interrupted, and every scratch file not taken is
// removed, its space given back.
//
// A file is served from read-ahead only if the library put it in place
// whole (its download writes a temporary that replaces the scratch file
// only once every byte the phone announced is on disk) and only for the
// attribute time-out after it landed. Anything else is fetched at open() as
// before: a link lost mid-series costs the files still to come their
// read-ahead, never a short or wrong file.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "korvex.hpp"

namespace korvex::mount {

class MetaCache;
class Space;

class ReadAhead {
 public:
  using Clock = std::chrono::steady_clock;
  // Scratch files go in `dir` (made here, removed at stop); what they hold
  // is reserved in `space`; a landed file is served for `fresh`.
  ReadAhead(korvex::SessionPool& pool, MetaCache& meta, Space& space, std::filesystem::path dir,
            std::chrono::milliseconds fresh);
  ~ReadAhead() { stop(); }
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Files up to this size are read ahead, at most this many files and
  // bytes at once.
  static constexpr std::uint64_t kLargestFile = 1024 * 1024;
  static constexpr std::size_t kWindowFiles = 24;
  static constexpr std::uint64_t kWindowBytes = 16u << 20;
  // Requests in one series: as many as the library keeps in flight.
  static constexpr std::size_t kSeriesFiles = 8;

  // A file opened for reading: the pattern goes on from it or breaks, and
  // the window is topped up.
  void opened(const std::string& path);
  // What was read ahead of `path`, landed whole, moved to `target`: its
  // size, whose cache space passes to the caller. Waits for a file still
  // on its way. Nothing when there is none (or it failed, or the caller
  // was interrupted): the caller fetches the file itself.
  std::optional<std::uint64_t> take(const std::string& path, const std::filesystem::path& target);
  // A change through the mount: whatever was read ahead may be out of date.
  void drop();
  // Ends the worker; nothing is read ahead after this.
  void stop();

 private:
  enum class State { Queued, Fetching, Landed, Failed };
  struct Entry {
    std::string path;
    std::filesystem::path local;
    std::uint64_t size = 0;  // reserved in the space
    State state = State::Queued;
    Clock::time_point landed;
  };

  void work();
  void fetch(std::unique_lock<std::mutex>& hold);
  // Under mutex_: drops every entry, interrupts the series in flight.
  void dropLocked();
  void discard(const Entry& entry);
  void topUp(const std::string& dir, const std::string& name);
  Entry* find(const std::string& path);

  korvex::SessionPool& pool_;
  MetaCache& meta_;
  Space& space_;
  const std::filesystem::path dir_;
  const std::chrono::milliseconds fresh_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::string folder_;   // guarded by mutex_: the folder of the pattern
  std::string last_;     // guarded by mutex_: the last name opened there
  std::deque<Entry> entries_;  // guarded by mutex_, in name order
  std::uint64_t generation_ = 0;             // guarded by mutex_: one more at each drop
  const korvex::Session* fetching_ = nullptr;  // guarded by mutex_: the series' session
  std::uint64_t counter_ = 0;                // guarded by mutex_: scratch names
  bool stopping_ = false;                    // guarded by mutex_
  std::thread worker_;
};

}  // namespace korvex::mount
