// One open() of a phone file, and the set of them that the mount holds: what
// getattr, a listing or a rename must know of what is so far only in a
// cache file.
#pragma once

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "korvex.hpp"
#include "phone.h"

namespace korvex::mount {

enum class Content { Loading, Complete, Failed };

// Its cache file lives in a directory of its own: a download may fill a
// temporary there and put it in place at the end.
struct OpenFile {
  std::filesystem::path dir;
  std::string local;  // the cache file in dir
  // The cache file's contents, -1 while a download has none to show yet.
  // Replaced descriptors stay open until the file is discarded, so a read
  // that took one never reads another file's descriptor.
  std::atomic<int> fd{-1};
  std::vector<int> retired;  // guarded by mutex
  bool writable = false;

  std::mutex pathMutex;   // a leaf lock: rename moves open files
  std::string phonePath;  // guarded by pathMutex

  // Set once the cache file is the newest content of the phone file (created,
  // truncated, written, or downloaded for writing): getattr then reports it.
  std::atomic<bool> current{false};
  // The stamp of the phone's answer the file was opened under.
  std::uint64_t seen = 0;

  std::mutex mutex;  // guards what follows; held through an upload
  SessionRef session;         // the download's, held while it runs
  korvex::Transfer download;  // ends before its session
  Content content = Content::Complete;
  int failure = -EIO;  // what a failed download makes reads and open() return
  std::chrono::steady_clock::time_point started;
  bool holdsSlot = false;
  // Written here and not yet confirmed by the phone: the cache file is the
  // only copy, so it is never deleted but kept as unsent.
  bool dirty = false;
  // Written or cut through this handle. A handle only opened with O_TRUNC
  // (a shell's "> file" closes a duplicate before anything is written) is
  // sent at release: sending it at every close would replace the phone's
  // file with an empty one before the new content is there.
  bool written = false;
  bool uploadFailed = false;   // close() already reported it: release does not try again
  std::uint64_t reserved = 0;  // bytes of cache space held

  std::string path() {
    std::lock_guard hold(pathMutex);
    return phonePath;
  }
};

class OpenFiles {
 public:
  OpenFile* track(OpenFile* file);
  void untrack(OpenFile* file);
  // All of them, no longer tracked (at unmount).
  std::set<OpenFile*> takeAll();

  // An open file whose cache holds the newest content of `path`.
  OpenFile* current(const std::string& path);
  // The names in `dir` of such files: created here, perhaps not yet sent.
  std::vector<std::string> currentNames(const std::string& dir);
  // Calls `upload` with the file's mutex held for each open file of `path`
  // that holds writes not yet confirmed; the first error ends it.
  int uploadPending(const std::string& path, const std::function<int(OpenFile&)>& upload);
  // A rename on the phone: the files open at or below `from` follow it.
  void move(const std::string& from, const std::string& to);

 private:
  std::mutex mutex_;
  std::set<OpenFile*> files_;  // guarded by mutex_
};

}  // namespace korvex::mount
