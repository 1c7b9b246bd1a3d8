#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "deadline.h"
#include "terminal_process.h"

namespace korvex::test {

TerminalProcess::TerminalProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
  // Everything the child needs is built before fork (see ChildProcess).
  std::vector<std::string> args = argv, env = environment;
  std::vector<char*> argp, envp;
  for (std::string& arg : args) argp.push_back(arg.data());
  argp.push_back(nullptr);
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);

  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char slaveName[128];
  if (args.empty() || master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
      ::ptsname_r(master_, slaveName, sizeof slaveName) != 0) {
    if (master_ >= 0) ::close(master_);
    throw std::runtime_error(std::string("no pseudo-terminal: ") + std::strerror(errno));
  }
  const winsize size{24, 80, 0, 0};
  ::ioctl(master_, TIOCSWINSZ, &size);

  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // a crashed test must not leave the child behind
    if (::getppid() != parent || ::setsid() < 0) _exit(127);
    const int slave = ::open(slaveName, O_RDWR);  // the session's controlling terminal
    if (slave < 0 || ::ioctl(slave, TIOCSCTTY, 0) != 0) _exit(127);
    ::dup2(slave, STDIN_FILENO);
    ::dup2(slave, STDOUT_FILENO);
    ::dup2(slave, STDERR_FILENO);
    if (slave > STDERR_FILENO) ::close(slave);
    ::execve(argp[0], argp.data(), envp.data());
    _exit(127);
  }
  if (pid < 0) {
    const std::string reason = std::strerror(errno);
    ::close(master_);
    throw std::runtime_error("fork: " + reason);
  }
  pid_ = pid;
}

TerminalProcess::~TerminalProcess() {
  if (!status_ && pid_ > 0) {
    ::kill(static_cast<pid_t>(pid_), SIGKILL);
    int status = 0;
    while (::waitpid(static_cast<pid_t>(pid_), &status, 0) < 0 && errno == EINTR) {
    }
  }
  ::close(master_);
}

void TerminalProcess::type(std::string_view keys) {
  while (!keys.empty()) {
    const ssize_t n = ::write(master_, keys.data(), keys.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    keys.remove_prefix(static_cast<std::size_t>(n));
  }
}

bool TerminalProcess::readSome(int waitMs) {
  pollfd entry{master_, POLLIN, 0};
  const int ready = ::poll(&entry, 1, waitMs);
  if (ready < 0) return errno == EINTR;
  if (ready == 0) return true;
  char buffer[4096];
  const ssize_t n = ::read(master_, buffer, sizeof buffer);
  if (n > 0) {
    shown_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }
  return n < 0 && errno == EINTR;  // EIO: every descriptor of the terminal's other side is closed
}

bool TerminalProcess::waitFor(std::string_view text, std::chrono::milliseconds timeout) {
  const Deadline deadline(timeout);
  for (;;) {
    if (const std::size_t at = shown_.find(text, matched_); at != std::string::npos) {
      matched_ = at + text.size();
      return true;
    }
    if (deadline.leftMs() <= 0 || !readSome(deadline.leftMs())) return false;
  }
}

std::optional<int> TerminalProcess::waitExit(std::chrono::milliseconds timeout) {
  const Deadline deadline(timeout);
  while (!status_) {
    int status = 0;
    const pid_t done = ::waitpid(static_cast<pid_t>(pid_), &status, WNOHANG);
    if (done == pid_) {
      status_ = status;
      break;
    }
    if (done < 0 && errno != EINTR) return std::nullopt;
    if (deadline.leftMs() <= 0) return std::nullopt;
    if (!readSome(std::min(deadline.leftMs(), 20))) ::usleep(10000);  // closed: only the exit is left
  }
  for (;;) {  // what it wrote just before the end
    pollfd entry{master_, POLLIN, 0};
    if (::poll(&entry, 1, 0) <= 0 || !(entry.revents & POLLIN) || !readSome(0)) break;
  }
  return status_;
}

}  // namespace korvex::test
