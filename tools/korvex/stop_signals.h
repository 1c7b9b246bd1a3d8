// Stopping a running copy from the keyboard or by a signal.
#pragma once

#include <chrono>
#include <csignal>
#include <memory>

namespace korvex::cli {

// The signal that asked the running copy to stop, or 0.
extern volatile std::sig_atomic_t stopSignal;

// While one exists, the stop signals only raise the flag: the main loop
// cancels through the library, which must not be entered from a handler.
// A signal ignored from the start (nohup, a background job) stays ignored.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  struct Saved;  // the handlers to put back
  std::unique_ptr<Saved> saved_;
};

// Lowers the flag and forgets stop signals that came before.
void clearStop();

// Sleeps for `period`, or less when a stop signal arrives meanwhile.
void sleepUnlessStopped(std::chrono::milliseconds period);

#ifndef _WIN32
// Readable once a stop signal came, whichever thread it landed on; -1 when
// no pipe could be had (then only the flag tells).
int stopWakeDescriptor();
#endif

}  // namespace korvex::cli
