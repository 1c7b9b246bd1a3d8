// How a command ends when it cannot do what it was asked.
#pragma once

#include <string>

#include "exit_codes.h"

namespace korvex::cli {

// Ends the command: main() prints the message and exits with the code.
struct Failure {
  int code;
  std::string message;
};

// "korvex: MESSAGE" on standard error, after what standard output holds,
// with the message escaped (shown()): it may name anything the phone sent.
void printMessage(const std::string& message);

}  // namespace korvex::cli
