// Text for copy progress: sizes, durations and the one-line bar. Pure
// functions, so the wording can be checked without a phone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvex::cli {

// "512 B", "1.5 KiB", "3.0 MiB", ...
std::string formatBytes(std::int64_t bytes);
// As a long listing shows sizes for people: "999", "1.0K", "1.5K", "10K",
// "3.4M". Rounded up, so a size is never shown smaller than it is; one
// decimal below 10. -1 (unknown) is "?".
std::string humanSize(std::int64_t bytes);
// "0:07", "12:34", "1:02:03"; "--:--" for a negative or absurd value.
std::string formatDuration(double seconds);

// One terminal line of at most `width` columns: the file's name (escaped
// as shown() does, cut to a third of the line), bar, percentage, bytes, rate
// and time left. Unknown totals (< 0) and rates (<= 0) show as such.
std::string progressLine(std::int64_t done, std::int64_t total, double bytesPerSecond, int width,
                         std::string_view name = {});

// The summary of a finished get or put for scripts, one JSON object:
// {"files":N,"arrived":M,"failed":K,"bytes":B,"seconds":S}.
std::string copySummaryJson(std::size_t files, std::size_t arrived, std::int64_t bytes, double seconds);

// Where a copy of many files stands.
struct TreeProgress {
  std::int64_t done = 0;   // bytes moved, over every file
  std::int64_t total = 0;
  std::size_t filesEnded = 0;  // arrived or failed
  std::size_t files = 0;
  double bytesPerSecond = 0.0;
};

// One terminal line of at most `width` columns: a short bar, percentage,
// bytes, files, rate and time left, then the files being copied now
// (escaped as shown() does), cut to fit. The bar's length depends on the
// width alone, so it stays put while the numbers and names change.
std::string treeProgressLine(const TreeProgress& progress, const std::vector<std::string>& current, int width);

}  // namespace korvex::cli
