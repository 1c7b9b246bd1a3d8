#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "console.h"

namespace korvex::cli {

// _isatty holds for every character device, NUL included; only a real
// console also answers GetConsoleMode.
bool outputIsTerminal() {
  DWORD mode = 0;
  return _isatty(_fileno(stdout)) != 0 && GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool inputIsTerminal() {
  DWORD mode = 0;
  return _isatty(_fileno(stdin)) != 0 && GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

// The visible window, not the screen buffer, which is often far wider.
int terminalWidth() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    const int width = info.srWindow.Right - info.srWindow.Left + 1;
    if (width > 0) return width;
  }
  return 80;
}

// The C runtime would turn "\n" into "\r\n" and stop reading at ^Z.
void binaryStandardStreams() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace korvex::cli
