#include "progress_bar.h"

#include <cstdio>

#include "console.h"
#include "progress.h"
#include "progress_columns.h"

namespace korvex::cli {

namespace {

// Redrawing costs the terminal more than polling costs the library.
constexpr auto kRedrawPeriod = std::chrono::milliseconds(100);

}  // namespace

ProgressBar::ProgressBar(bool enabled, Clock::time_point start)
    : enabled_(enabled), width_(enabled ? terminalWidth() - 1 : 0) {
  samples_.emplace_back(start, 0);
}

void ProgressBar::waiting() {
  if (enabled_ && !drawn_) draw("connecting...");
}

void ProgressBar::update(std::int64_t done, std::int64_t total, const LineText& text) {
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

void ProgressBar::clear() {
  if (!enabled_ || !drawn_) return;
  std::fputs(("\r" + std::string(lastLength_, ' ') + "\r").c_str(), stdout);
  std::fflush(stdout);
  drawn_ = false;
  lastLength_ = 0;
}

void ProgressBar::finish() {
  if (enabled_ && drawn_) {
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
  drawn_ = false;
}

void ProgressBar::draw(const std::string& line) {
  // Padded in columns, not bytes: a name beyond ASCII takes fewer columns
  // than bytes, and a line wider than the terminal would wrap.
  const std::size_t columns = columnsOf(line);
  std::string padded = line;
  if (columns < lastLength_) padded.append(lastLength_ - columns, ' ');
  lastLength_ = columns;
  std::fputc('\r', stdout);
  std::fputs(padded.c_str(), stdout);
  std::fflush(stdout);
  drawn_ = true;
}

}  // namespace korvex::cli
