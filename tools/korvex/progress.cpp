#include "progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "progress_columns.h"
#include "text.h"

namespace korvex::cli {

std::string formatBytes(std::int64_t bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024.0 && unit < 4) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string humanSize(std::int64_t bytes) {
  if (bytes < 0) return "?";
  if (bytes < 1024) return std::to_string(bytes);
  static const char kUnits[] = "KMGTPE";
  // Whole numbers, rounded up; the remainder scaled apart so nothing overflows.
  const auto size = static_cast<std::uint64_t>(bytes);
  const auto up = [](std::uint64_t value, std::uint64_t step) { return value / step + (value % step != 0); };
  std::uint64_t scale = 1024;
  for (int unit = 0;; ++unit, scale *= 1024) {
    const std::uint64_t tenths = size / scale * 10 + up(size % scale * 10, scale);
    char text[32];
    if (tenths < 100) {
      std::snprintf(text, sizeof text, "%u.%u%c", static_cast<unsigned>(tenths / 10), static_cast<unsigned>(tenths % 10),
                    kUnits[unit]);
      return text;
    }
    const std::uint64_t whole = up(size, scale);
    if (whole < 1024 || unit == 5) return std::to_string(whole) + kUnits[unit];
  }
}

std::string copySummaryJson(std::size_t files, std::size_t arrived, std::int64_t bytes, double seconds) {
  char timing[32];
  std::snprintf(timing, sizeof timing, "%.3f", seconds);
  return R"({"files":)" + std::to_string(files) + R"(,"arrived":)" + std::to_string(arrived) + R"(,"failed":)" +
         std::to_string(files - arrived) + R"(,"bytes":)" + std::to_string(bytes) + R"(,"seconds":)" + timing + "}";
}

std::string formatDuration(double seconds) {
  // Beyond 100 hours an estimate says nothing.
  if (!(seconds >= 0.0) || seconds > 360000.0) return "--:--";
  long total = std::lround(seconds);
  long hours = total / 3600, minutes = total / 60 % 60, secs = total % 60;
  char text[32];
  if (hours > 0) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", hours, minutes, secs);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", minutes, secs);
  }
  return text;
}

namespace {

std::string bar(double fraction, int width) {
  const int filled = static_cast<int>(fraction * width);
  return "[" + std::string(static_cast<std::size_t>(filled), '#') +
         std::string(static_cast<std::size_t>(width - filled), '.') + "]";
}

// The names being copied, ", " between them, in `room` columns: each cut
// in its middle to a share of the room, so that one long name hides neither
// the others nor its own extension. A short name leaves what it does not
// use to the longer ones; below kShareMin columns a name is no longer
// readable, and those beyond the room are cut off with the line.
std::string fitNames(const std::vector<std::string>& names, std::size_t room) {
  constexpr std::size_t kShareMin = 12;
  std::vector<std::string> texts;
  std::vector<std::size_t> order;
  for (const std::string& name : names) {
    order.push_back(texts.size());
    texts.push_back(shown(name));
  }
  std::vector<std::size_t> columns(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) columns[i] = columnsOf(texts[i]);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return columns[a] < columns[b]; });
  std::size_t left = room > 2 * (texts.size() - 1) ? room - 2 * (texts.size() - 1) : 0;
  for (std::size_t k = 0; k < order.size(); ++k) {
    const std::size_t i = order[k];
    const std::size_t share = std::min(columns[i], left / (order.size() - k));
    left -= share;
    texts[i] = cutMiddle(texts[i], std::max(share, kShareMin));
  }
  std::string joined;
  for (const std::string& text : texts) joined += (joined.empty() ? "" : ", ") + text;
  return joined;
}

}  // namespace

std::string progressLine(std::int64_t done, std::int64_t total, double bytesPerSecond, int width,
                         std::string_view name) {
  const bool knownTotal = total > 0;
  const double fraction = knownTotal ? std::clamp(static_cast<double>(done) / static_cast<double>(total), 0.0, 1.0)
                                     : (total == 0 ? 1.0 : 0.0);
  char percent[8];
  std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100.0));

  std::string info = " ";
  info += percent;
  info += "  ";
  info += formatBytes(done);
  info += total >= 0 ? " / " + formatBytes(total) : " / ?";
  if (bytesPerSecond > 0.0) {
    info += "  " + formatBytes(static_cast<std::int64_t>(bytesPerSecond)) + "/s";
    if (knownTotal && done < total) {
      info += "  " + formatDuration(static_cast<double>(std::max<std::int64_t>(total - done, 0)) / bytesPerSecond) +
              " left";
    }
  }

  // The name first, as scp shows it, in a third of the line at most. The
  // numbers get a fixed room, so the bar keeps its length as they change.
  // The bar takes what is left, the name cut in its middle to keep it; it
  // goes only when that would leave less than kNameMin columns of the name.
  constexpr int kBarMin = 10, kNameMin = 12;
  const int infoRoom = std::max(static_cast<int>(info.size()), 58);
  const std::size_t room = static_cast<std::size_t>(std::max(width, 0));
  const std::string shownName = shown(std::string(name));
  const int named = name.empty() ? 0 : static_cast<int>(std::min(columnsOf(shownName), room / 3));
  const int nameRoom = std::min(named, width - infoRoom - kBarMin - 2 - (named > 0 ? 1 : 0));
  if (nameRoom < std::min(named, kNameMin)) {
    const std::string label = name.empty() ? "" : cutMiddle(shownName, room / 3) + " ";
    return cutEnd(label + info, room);
  }
  const std::string label = name.empty() ? "" : cutMiddle(shownName, static_cast<std::size_t>(nameRoom)) + " ";
  const int barWidth = width - static_cast<int>(columnsOf(label)) - infoRoom - 2;
  info.resize(static_cast<std::size_t>(infoRoom), ' ');
  return label + bar(fraction, barWidth) + info;
}

std::string treeProgressLine(const TreeProgress& progress, const std::vector<std::string>& current, int width) {
  const double fraction =
      progress.total > 0
          ? std::clamp(static_cast<double>(progress.done) / static_cast<double>(progress.total), 0.0, 1.0)
          : (progress.filesEnded == progress.files ? 1.0 : 0.0);
  char percent[8];
  std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100.0));
  std::string info = percent;
  info += "  " + formatBytes(progress.done) + " / " + formatBytes(progress.total);
  info += "  " + std::to_string(progress.filesEnded) + "/" + std::to_string(progress.files) + " files";
  if (progress.bytesPerSecond > 0.0) {
    info += "  " + formatBytes(static_cast<std::int64_t>(progress.bytesPerSecond)) + "/s";
    if (progress.done < progress.total) {
      info += "  " +
              formatDuration(static_cast<double>(progress.total - progress.done) / progress.bytesPerSecond) +
              " left";
    }
  }
  const std::size_t room = static_cast<std::size_t>(std::max(width, 0));
  // The bar's length follows the width alone, against a fixed room for the
  // numbers: names are cut before the bar shrinks, and it goes only when
  // too narrow to read.
  constexpr int kBarMax = 20, kBarMin = 10;
  constexpr int kInfoRoom = 62;
  const int barWidth = std::min(kBarMax, width - kInfoRoom - 3);
  std::string line = barWidth >= kBarMin ? bar(fraction, barWidth) + " " : "";
  line += info;
  if (!current.empty()) line += "  " + fitNames(current, room > line.size() + 2 ? room - line.size() - 2 : 0);
  return cutEnd(line, room);
}

}  // namespace korvex::cli
