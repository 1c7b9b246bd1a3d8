#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "stop_signals.h"
#include "terminal_input.h"

namespace korvex::cli {

// Ctrl-C makes the terminal drop what was typed and then signals: between a
// wake for a key and its read, the key may be gone, and a blocking read
// would then wait past the signal. The terminal is opened again, so that
// reads that find nothing come back at once without changing how standard
// input, shared with the parent shell, behaves.
TerminalInput::TerminalInput() : fd_(STDIN_FILENO), own_(false) {
  if (const char* name = ttyname(STDIN_FILENO)) {
    const int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
      fd_ = fd;
      own_ = true;
    }
  }
}

TerminalInput::~TerminalInput() {
  if (own_) close(fd_);
}

int TerminalInput::next() {
  // The wake pipe, not an interrupted call, tells of the signal: it may have
  // landed on another thread, or just before the wait.
  pollfd waits[2] = {{fd_, POLLIN, 0}, {stopWakeDescriptor(), POLLIN, 0}};
  while (!stopSignal) {
    const int found = poll(waits, waits[1].fd >= 0 ? 2 : 1, -1);
    if (found < 0 && errno == EINTR) continue;
    if (found < 0) return kEnd;
    if (waits[0].revents == 0) continue;
    unsigned char byte = 0;
    const ssize_t count = read(fd_, &byte, 1);
    if (count == 1) return byte;
    if (count == 0) return kEnd;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return kEnd;
  }
  return kStopped;
}

}  // namespace korvex::cli
