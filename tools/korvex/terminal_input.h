// Keys typed on the terminal of standard input, read so that a stop signal
// ends the wait without a race: one that lands before the wait, during it,
// or between the wake and the read still ends it. POSIX only, as is the
// line editor that uses it.
#pragma once

namespace korvex::cli {

class TerminalInput {
 public:
  static constexpr int kStopped = -1;
  static constexpr int kEnd = -2;

  TerminalInput();
  ~TerminalInput();
  TerminalInput(const TerminalInput&) = delete;
  TerminalInput& operator=(const TerminalInput&) = delete;

  // The next byte typed; kStopped when a stop signal (see stop_signals.h,
  // whose handlers must be installed) came first or comes meanwhile; kEnd
  // at the end of input or on a failure.
  int next();

 private:
  int fd_;
  bool own_;  // a description of our own, non-blocking; else standard input
};

}  // namespace korvex::cli
