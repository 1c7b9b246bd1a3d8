// What the copy commands share: their options, the poll period and the
// largest size a copy can move.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "console.h"
#include "local_files.h"
#include "stop_signals.h"

namespace korvex::cli {

using Clock = std::chrono::steady_clock;
// Polling is one atomic read in the library; a short period keeps the timing
// of quick copies honest, while the bar is redrawn less often.
constexpr auto kPollPeriod = std::chrono::milliseconds(20);

// Sizes travel as unsigned 32-bit words, and the two largest read the same
// as the library's "not started" and "failed" progress values.
constexpr std::int64_t kMaxCopySize = 0xFFFFFFFDLL;
constexpr const char* kTooLarge = "too large: copies stop at 4 GiB - 3 bytes";

enum class ProgressMode { Auto, Always, Never };

struct CopyOptions {
  double startTimeoutSeconds = 10.0;
  ProgressMode progress = ProgressMode::Auto;
  bool quiet = false;    // no bar, no summary line
  bool verbose = false;  // each file of a tree copy named as it arrives
  bool json = false;     // the summary as one JSON object, even when quiet

  bool showsBar() const {
    if (quiet) return false;
    return progress == ProgressMode::Always || (progress == ProgressMode::Auto && outputIsTerminal());
  }
};

// Several files, or whole trees, copied on a pool of sessions.
struct TreeCopyOptions {
  CopyOptions copy;
  bool recursive = false;
  // An upload waits one round trip for its request's answer before its bytes
  // go: over a 60 ms link it takes about 12 sessions to keep the link busy.
  int jobs = 16;
  const char* command = nullptr;  // names the messages; get or put when not given
  bool summary = true;            // the closing line; a caller may print its own
};

inline double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Whether the disk that would hold the local `file` has less room than
// `size` bytes. The library tells a download that could not be written
// from one the phone did not send whole by neither code nor progress, so a
// failed download is asked this afterwards: a full disk is the usual local
// cause, and the copy leaves nothing of its own behind to fill it.
inline bool localShortOfSpace(const std::string& file, std::int64_t size) {
  std::filesystem::path directory = localPathOf(file).parent_path();
  if (directory.empty()) directory = ".";
  std::error_code error;
  const std::filesystem::space_info space = std::filesystem::space(directory, error);
  return !error && size > 0 && space.available < static_cast<std::uintmax_t>(size);
}

// The errno of a new local directory's folder that is there and cannot be
// written in, or 0. A folder that is not there yet is made with it.
inline int folderUnwritable(const std::string& directory) {
  std::filesystem::path folder = localPathOf(directory).parent_path();
  if (folder.empty()) folder = ".";
  if (localStatus(localText(folder)).kind != LocalStatus::Kind::Directory) return 0;
  return writableError(localText(folder));
}

inline std::string noSpaceText() { return std::make_error_code(std::errc::no_space_on_device).message(); }

// Sleeps one poll period; a stop signal may end it early.
inline void pause() { sleepUnlessStopped(kPollPeriod); }

}  // namespace korvex::cli
