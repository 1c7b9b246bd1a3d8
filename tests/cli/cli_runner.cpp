#include "cli_runner.h"

#include <signal.h>
#include <sys/wait.h>

#include <string_view>

#ifndef KORVEX_CLI_PATH
#error "KORVEX_CLI_PATH must name the korvex binary"
#endif

extern char** environ;

namespace korvex::test {
namespace {

std::vector<std::string> cliArgv(const std::vector<std::string>& args) {
  std::vector<std::string> argv{KORVEX_CLI_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

std::vector<std::string> cliEnvironment(std::map<std::string, std::string> added) {
  added.try_emplace("XDG_CONFIG_HOME", "/nonexistent/korvex-test-config");
  std::vector<std::string> env;
  for (char** entry = environ; *entry; ++entry) {
    const std::string_view variable = *entry;
    const std::string name(variable.substr(0, variable.find('=')));
    if (name != "KORVEX_PASSWORD" && name != "KORVEX_HOST" && !added.contains(name)) env.emplace_back(variable);
  }
  for (const auto& [name, value] : added) env.push_back(name + "=" + value);
  return env;
}

// Line editing needs a terminal whose type it knows.
std::map<std::string, std::string> withTerminalType(std::map<std::string, std::string> env) {
  env.try_emplace("TERM", "xterm");
  return env;
}

ChildProcess::Options launch(const std::vector<std::string>& args, const CliOptions& options) {
  ChildProcess::Options launch;
  launch.argv = cliArgv(args);
  launch.environment = cliEnvironment(options.env);
  launch.input = options.input;
  launch.out.kind = ChildProcess::Output::Pipe;
  launch.err.kind = ChildProcess::Output::Pipe;
  return launch;
}

}  // namespace

CliProcess::CliProcess(const std::vector<std::string>& args, CliOptions options)
    : options_(std::move(options)), child_(launch(args, options_)) {}

CliResult CliProcess::wait() {
  CliResult result;
  if (!child_.collect(result.out, result.err, options_.timeout)) {
    result.timedOut = true;
    child_.signal(SIGKILL);
  }
  const int status = child_.waitExit(std::chrono::hours(1)).value_or(-1);
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

CliResult runCli(const std::vector<std::string>& args, CliOptions options) {
  CliProcess process(args, std::move(options));
  return process.wait();
}

CliTerminal::CliTerminal(const std::vector<std::string>& args, std::map<std::string, std::string> env)
    : TerminalProcess(cliArgv(args), cliEnvironment(withTerminalType(std::move(env)))) {}

}  // namespace korvex::test
