// A child process on a pseudo-terminal of its own, typed at as a person
// would type: what a program does only on a terminal (line editing, Tab,
// Ctrl-C at a prompt) is reached the way a user reaches it. One
// implementation per platform (terminal_process_posix.cpp).
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvex::test {

class TerminalProcess {
 public:
  // argv[0] is a path; `environment` holds "NAME=value" entries. The
  // terminal is 80 columns by 24 lines. Throws std::runtime_error when no
  // terminal or child can be had.
  TerminalProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment);
  // A child still running is killed and waited for.
  ~TerminalProcess();
  TerminalProcess(const TerminalProcess&) = delete;
  TerminalProcess& operator=(const TerminalProcess&) = delete;

  // Sends keys as typed: "\t" is Tab, "\x03" Ctrl-C, "\r" Enter.
  void type(std::string_view keys);
  // Reads the terminal until `text` shows after the end of the last text
  // waited for; false when the time runs out or the child closes the
  // terminal first.
  bool waitFor(std::string_view text, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Everything the terminal showed so far.
  const std::string& shown() const { return shown_; }
  // Reads the rest until the child ends; its wait status, or nothing at
  // the time-out.
  std::optional<int> waitExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  // One read of what is waiting, up to `waitMs`; false once the terminal
  // closed.
  bool readSome(int waitMs);

  long pid_ = -1;
  int master_ = -1;
  std::string shown_;
  std::size_t matched_ = 0;  // where the next waitFor looks from
  std::optional<int> status_;
};

}  // namespace korvex::test
