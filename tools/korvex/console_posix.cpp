#include <sys/ioctl.h>
#include <unistd.h>

#include "console.h"

namespace korvex::cli {

bool outputIsTerminal() { return isatty(STDOUT_FILENO) != 0; }
bool inputIsTerminal() { return isatty(STDIN_FILENO) != 0; }

int terminalWidth() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// Bytes pass through unchanged already.
void binaryStandardStreams() {}

}  // namespace korvex::cli
