#include <signal.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>

#include "stop_signals.h"
#include "terminal_input.h"

namespace korvex::cli {

bool waitForInput() {
  // The stop signals stay blocked but while waiting: the flag is looked at
  // with them blocked, and pselect opens them atomically with the wait.
  sigset_t stops, old;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, &old);
  bool ready = false;
  while (!stopSignal) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(STDIN_FILENO, &readable);
    const int found = pselect(STDIN_FILENO + 1, &readable, nullptr, nullptr, nullptr, &old);
    if (found > 0 || (found < 0 && errno != EINTR)) {
      ready = true;  // a failure is the read's to report
      break;
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return ready;
}

}  // namespace korvex::cli
