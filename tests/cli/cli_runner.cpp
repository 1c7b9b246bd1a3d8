#include "cli_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#ifndef KORVEX_CLI_PATH
#error "KORVEX_CLI_PATH must name the korvex binary"
#endif

extern char** environ;

namespace korvex::test {

CliProcess::CliProcess(const std::vector<std::string>& args, CliOptions options) : options_(std::move(options)) {
  std::vector<std::string> argStrings{KORVEX_CLI_PATH};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<std::string> envStrings;
  for (char** entry = environ; *entry; ++entry) {
    if (std::strncmp(*entry, "KORVEX_PASSWORD=", 16) != 0) envStrings.emplace_back(*entry);
  }
  for (const auto& [name, value] : options_.env) envStrings.push_back(name + "=" + value);
  // Built before fork: the child may call only async-signal-safe functions.
  std::vector<char*> argv, envp;
  for (std::string& arg : argStrings) argv.push_back(arg.data());
  argv.push_back(nullptr);
  for (std::string& entry : envStrings) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  if (pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    throw std::runtime_error("pipe2 failed");
  }
  int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(devNull, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  ::close(devNull);
  ::close(out[1]);
  ::close(err[1]);
  out_ = out[0];
  err_ = err[0];
  if (pid_ < 0) {
    ::close(out_);
    ::close(err_);
    throw std::runtime_error("fork failed");
  }
}

CliProcess::~CliProcess() {
  if (!reaped_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) ::close(out_);
  if (err_ >= 0) ::close(err_);
}

CliResult CliProcess::wait() {
  CliResult result;
  const auto deadline = std::chrono::steady_clock::now() + options_.timeout;
  pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      kill(pid_, SIGKILL);
      break;
    }
    int ready = poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

CliResult runCli(const std::vector<std::string>& args, CliOptions options) {
  CliProcess process(args, std::move(options));
  return process.wait();
}

}  // namespace korvex::test
