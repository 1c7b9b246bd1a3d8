// What the copy commands share: the stop signals, the poll period and the
// progress bar drawn in place on a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <utility>

#include "console.h"
#include "progress.h"
#include "stop_signals.h"

namespace korvex::cli {

using Clock = std::chrono::steady_clock;
// Polling is one atomic read in the library; a short period keeps the timing
// of quick copies honest, while the bar is redrawn less often.
constexpr auto kPollPeriod = std::chrono::milliseconds(20);
constexpr auto kRedrawPeriod = std::chrono::milliseconds(100);

// Sizes travel as unsigned 32-bit words, and the two largest read the same
// as the library's "not started" and "failed" progress values.
constexpr std::int64_t kMaxCopySize = 0xFFFFFFFDLL;
constexpr const char* kTooLarge = "too large: copies stop at 4 GiB - 3 bytes";

inline double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Sleeps one poll period; a stop signal may end it early.
inline void pause() { sleepUnlessStopped(kPollPeriod); }

// The bar on a terminal; nothing otherwise.
class ProgressBar {
 public:
  // The rate counts from `start`, so a copy quicker than one poll still shows one.
  ProgressBar(bool enabled, Clock::time_point start)
      : enabled_(enabled), width_(enabled ? terminalWidth() - 1 : 0) {
    samples_.emplace_back(start, 0);
  }

  void waiting() {
    if (enabled_ && !drawn_) draw("connecting...");
  }

  // Draws the line that `text` makes of the rate and the width; by default
  // the one-file bar.
  using LineText = std::function<std::string(double bytesPerSecond, int width)>;
  void update(std::int64_t done, std::int64_t total, const LineText& text = {}) {
    if (!enabled_) return;
    const Clock::time_point now = Clock::now();
    const bool last = total >= 0 && done == total;
    if (!last && drawn_ && now - lastDraw_ < kRedrawPeriod) return;
    lastDraw_ = now;
    samples_.emplace_back(now, done);
    // The rate over the last few seconds follows changes without jitter.
    while (samples_.size() > 2 && now - samples_.front().first > std::chrono::seconds(3)) samples_.pop_front();
    double rate = 0.0;
    const double span = std::chrono::duration<double>(now - samples_.front().first).count();
    if (span > 0.05) rate = static_cast<double>(done - samples_.front().second) / span;
    draw(text ? text(rate, width_) : progressLine(done, total, rate, width_));
  }

  // Wipes the line, so a message can take its place; the next update redraws.
  void clear() {
    if (!enabled_ || !drawn_) return;
    std::fputs(("\r" + std::string(lastLength_, ' ') + "\r").c_str(), stdout);
    std::fflush(stdout);
    drawn_ = false;
    lastLength_ = 0;
  }

  // Leaves the last drawing on its own line.
  void finish() {
    if (enabled_ && drawn_) {
      std::fputc('\n', stdout);
      std::fflush(stdout);
    }
    drawn_ = false;
  }

  ~ProgressBar() { finish(); }

 private:
  void draw(const std::string& line) {
    std::string padded = line;
    if (padded.size() < lastLength_) padded.append(lastLength_ - padded.size(), ' ');
    lastLength_ = line.size();
    std::fputc('\r', stdout);
    std::fputs(padded.c_str(), stdout);
    std::fflush(stdout);
    drawn_ = true;
  }

  bool enabled_;
  int width_;
  bool drawn_ = false;
  std::size_t lastLength_ = 0;
  Clock::time_point lastDraw_;
  std::deque<std::pair<Clock::time_point, std::int64_t>> samples_;
};

}  // namespace korvex::cli
