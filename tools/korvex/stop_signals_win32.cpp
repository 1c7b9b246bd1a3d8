#include <windows.h>

#include <csignal>

#include "stop_signals.h"

namespace korvex::cli {

volatile std::sig_atomic_t stopSignal = 0;

namespace {

using Handler = void (*)(int);

// The C runtime calls this on a thread of its own, and resets the signal to
// its default first: a second Ctrl-C during the cancel must not end the
// program before the copies are closed.
void raiseStop(int signal) {
  stopSignal = signal;
  std::signal(signal, raiseStop);
}

Handler install(int signal) {
  const Handler old = std::signal(signal, raiseStop);
  if (old == SIG_IGN) std::signal(signal, SIG_IGN);
  return old;
}

void restore(int signal, Handler old) {
  if (old != SIG_ERR) std::signal(signal, old);
}

}  // namespace

// Ctrl-C is SIGINT and Ctrl-Break SIGBREAK; SIGTERM comes only from raise().
struct StopSignals::Saved {
  Handler interrupt, brk, terminate;
};

StopSignals::StopSignals()
    : saved_(std::make_unique<Saved>(Saved{install(SIGINT), install(SIGBREAK), install(SIGTERM)})) {}

StopSignals::~StopSignals() {
  restore(SIGINT, saved_->interrupt);
  restore(SIGBREAK, saved_->brk);
  restore(SIGTERM, saved_->terminate);
}

void clearStop() { stopSignal = 0; }

// The handler runs on another thread, so nothing cuts the sleep short: the
// flag is seen at the next poll.
void sleepUnlessStopped(std::chrono::milliseconds period) { Sleep(static_cast<DWORD>(period.count())); }

}  // namespace korvex::cli
