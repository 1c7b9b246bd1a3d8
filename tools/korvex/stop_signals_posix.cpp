#include <time.h>

#include <csignal>

#include "stop_signals.h"

namespace korvex::cli {

volatile std::sig_atomic_t stopSignal = 0;

namespace {

void raiseStop(int signal) { stopSignal = signal; }

void install(int signal, const struct sigaction& action, struct sigaction& old) {
  sigaction(signal, nullptr, &old);
  if (old.sa_handler != SIG_IGN) sigaction(signal, &action, nullptr);
}

}  // namespace

struct StopSignals::Saved {
  struct sigaction interrupt {};
  struct sigaction terminate {};
};

StopSignals::StopSignals() : saved_(std::make_unique<Saved>()) {
  struct sigaction action {};
  action.sa_handler = raiseStop;
  sigemptyset(&action.sa_mask);
  install(SIGINT, action, saved_->interrupt);
  install(SIGTERM, action, saved_->terminate);
}

StopSignals::~StopSignals() {
  sigaction(SIGINT, &saved_->interrupt, nullptr);
  sigaction(SIGTERM, &saved_->terminate, nullptr);
}

// A signal that lands on this thread ends the sleep early.
void sleepUnlessStopped(std::chrono::milliseconds period) {
  const timespec length{static_cast<time_t>(period.count() / 1000),
                        static_cast<long>(period.count() % 1000) * 1000000L};
  nanosleep(&length, nullptr);
}

}  // namespace korvex::cli
