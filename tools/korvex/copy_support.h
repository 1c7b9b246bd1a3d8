// What the copy commands share: the stop signals, the poll period and the
// progress bar drawn in place on a terminal.
#pragma once

#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <functional>
#include <string>
#include <utility>

#include "progress.h"

namespace korvex::cli {

using Clock = std::chrono::steady_clock;
// Polling is one atomic read in the library; a short period keeps the timing
// of quick copies honest, while the bar is redrawn less often.
constexpr auto kPollPeriod = std::chrono::milliseconds(20);
constexpr auto kRedrawPeriod = std::chrono::milliseconds(100);
// Writing the last byte is not the phone storing it: the size check after an
// upload waits this long for the phone to finish.
constexpr auto kConfirmTimeout = std::chrono::seconds(5);

// Sizes travel as unsigned 32-bit words, and the two largest read the same
// as the library's "not started" and "failed" progress values.
constexpr std::int64_t kMaxCopySize = 0xFFFFFFFDLL;
constexpr const char* kTooLarge = "too large: copies stop at 4 GiB - 3 bytes";

// The signal that asked the running copy to stop, or 0.
extern volatile std::sig_atomic_t stopSignal;

// While a copy runs, SIGINT and SIGTERM only raise the flag: the main loop
// cancels through the library, which must not be entered from a handler.
class StopSignals {
 public:
  StopSignals() {
    struct sigaction action {};
    action.sa_handler = [](int signal) { stopSignal = signal; };
    sigemptyset(&action.sa_mask);
    install(SIGINT, action, oldInt_);
    install(SIGTERM, action, oldTerm_);
  }
  ~StopSignals() {
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  // A signal ignored from the start (nohup, a background job) stays ignored.
  static void install(int signal, const struct sigaction& action, struct sigaction& old) {
    sigaction(signal, nullptr, &old);
    if (old.sa_handler != SIG_IGN) sigaction(signal, &action, nullptr);
  }

  struct sigaction oldInt_ {};
  struct sigaction oldTerm_ {};
};

inline double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Sleeps one poll period; a signal that lands on this thread ends it early.
inline void pause() {
  timespec period{0, std::chrono::nanoseconds(kPollPeriod).count()};
  nanosleep(&period, nullptr);
}

inline int terminalWidth() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

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
