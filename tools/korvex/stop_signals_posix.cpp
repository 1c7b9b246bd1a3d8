#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "stop_signals.h"

namespace korvex::cli {

volatile std::sig_atomic_t stopSignal = 0;

namespace {

// The library's own threads do not block signals, so a stop signal may land
// on any of them: the handler also writes a byte here, which wakes whichever
// thread waits on the read end.
int wakePipe[2] = {-1, -1};

void raiseStop(int signal) {
  const int saved = errno;
  stopSignal = signal;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = write(wakePipe[1], &byte, 1);  // a full pipe is awake already
  errno = saved;
}

void openWakePipe() {
  if (wakePipe[0] >= 0) return;
  if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) wakePipe[0] = wakePipe[1] = -1;  // then only the flag stops
}

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
  openWakePipe();
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

void clearStop() {
  stopSignal = 0;
  char drained[64];
  while (wakePipe[0] >= 0 && read(wakePipe[0], drained, sizeof drained) > 0) {
  }
}

int stopWakeDescriptor() { return wakePipe[0]; }

void sleepUnlessStopped(std::chrono::milliseconds period) {
  if (stopSignal) return;
  pollfd wake{stopWakeDescriptor(), POLLIN, 0};
  poll(&wake, wake.fd >= 0 ? 1 : 0, static_cast<int>(period.count()));
}

}  // namespace korvex::cli
