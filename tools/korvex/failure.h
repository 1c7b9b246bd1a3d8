// How a command ends when it cannot do what it was asked.
#pragma once

#include <cstddef>
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
// The shell's batch puts "batch line N: " before the message.
void printMessage(const std::string& message);
// How many messages have been printed so far.
std::size_t messagesPrinted();

// While it lives, every message printed starts with `prefix`.
class MessagePrefix {
 public:
  explicit MessagePrefix(std::string prefix);
  ~MessagePrefix();
  MessagePrefix(const MessagePrefix&) = delete;
  MessagePrefix& operator=(const MessagePrefix&) = delete;
};

}  // namespace korvex::cli
