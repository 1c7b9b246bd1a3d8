// Runs the built korvex binary as a child process, its output captured
// through pipes (so never a terminal), with a time limit; or on a
// pseudo-terminal, typed at.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "child_process.h"
#include "terminal_process.h"
#include "exit_codes.h"

namespace korvex::test {

// The exit codes the client documents (the table in docs/cli.md is checked
// against them).
namespace exit_code {
using korvex::cli::kBroken;
using korvex::cli::kLocalFile;
using korvex::cli::kLoginRefused;
using korvex::cli::kNoConnect;
using korvex::cli::kOk;
using korvex::cli::kRefused;
using korvex::cli::kUsage;
constexpr int kInterrupted = korvex::cli::kSignalBase + SIGINT;
}  // namespace exit_code

struct CliResult {
  int exitCode = -1;  // -1 when it did not exit normally
  int signal = 0;     // the signal that ended it, if one did
  bool timedOut = false;
  std::string out;
  std::string err;
  std::string all() const { return out + err; }
};

struct CliOptions {
  // Set in the environment, in place of the same names. KORVEX_PASSWORD and
  // KORVEX_HOST are always removed first, and XDG_CONFIG_HOME names a
  // directory that does not exist unless given, so that no user's settings
  // reach a test.
  std::map<std::string, std::string> env;
  std::filesystem::path input{};  // standard input; empty: none
  std::chrono::milliseconds timeout = std::chrono::seconds(30);
};

class CliProcess {
 public:
  explicit CliProcess(const std::vector<std::string>& args, CliOptions options = {});
  // A child still running is stopped when the object goes away.
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  pid_t pid() const { return static_cast<pid_t>(child_.pid()); }
  // Collects the output until the child exits; kills it at the time-out.
  CliResult wait();

 private:
  CliOptions options_;
  ChildProcess child_;
};

CliResult runCli(const std::vector<std::string>& args, CliOptions options = {});

// The client on a pseudo-terminal, with the environment of CliOptions::env
// and TERM=xterm unless given.
class CliTerminal : public TerminalProcess {
 public:
  explicit CliTerminal(const std::vector<std::string>& args, std::map<std::string, std::string> env = {});
};

}  // namespace korvex::test
