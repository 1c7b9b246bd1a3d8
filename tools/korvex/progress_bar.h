// The progress bar of a copy, drawn in place on a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>

namespace korvex::cli {

// The bar on a terminal; nothing otherwise.
class ProgressBar {
 public:
  using Clock = std::chrono::steady_clock;

  // The rate counts from `start`, so a copy quicker than one poll still shows one.
  ProgressBar(bool enabled, Clock::time_point start);
  ~ProgressBar() { finish(); }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void waiting();

  // Draws the line that `text` makes of the rate and the width; by default
  // the one-file bar.
  using LineText = std::function<std::string(double bytesPerSecond, int width)>;
  void update(std::int64_t done, std::int64_t total, const LineText& text = {});

  // Wipes the line, so a message can take its place; the next update redraws.
  void clear();

  // Leaves the last drawing on its own line.
  void finish();

 private:
  void draw(const std::string& line);

  bool enabled_;
  int width_;
  bool drawn_ = false;
  std::size_t lastLength_ = 0;  // in columns
  Clock::time_point lastDraw_;
  std::deque<std::pair<Clock::time_point, std::int64_t>> samples_;
};

}  // namespace korvex::cli
