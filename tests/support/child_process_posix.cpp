#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "child_process.h"
#include "deadline.h"

extern char** environ;

namespace korvex::test {
namespace {

int pollRetrying(pollfd* entries, nfds_t count, const Deadline& deadline) {
  for (;;) {
    const int ready = ::poll(entries, count, deadline.leftMs());
    if (ready >= 0 || errno != EINTR) return ready;
  }
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// The descriptor the child gets for one output stream, or -1 to leave it;
// for a pipe, `parentEnd` receives the end this process reads.
int openOutput(const ChildProcess::Output& output, int devNull, int& parentEnd) {
  switch (output.kind) {
    case ChildProcess::Output::Inherit: return -1;
    case ChildProcess::Output::Discard: return ::fcntl(devNull, F_DUPFD_CLOEXEC, 0);
    case ChildProcess::Output::File:
      return ::open(output.file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    case ChildProcess::Output::Pipe: {
      int ends[2];
      if (::pipe2(ends, O_CLOEXEC) != 0) return -1;
      parentEnd = ends[0];
      return ends[1];
    }
  }
  return -1;
}

}  // namespace

ChildProcess::ChildProcess(const Options& options) {
  // Everything the child needs is built before fork: until exec it may call
  // only async-signal-safe functions, as another thread may hold a lock.
  std::vector<std::string> args = options.argv;
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = options.environment.value_or(std::vector<std::string>{});
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  char** const childEnv = options.environment ? envp.data() : environ;
  const bool searchPath = !args.empty() && args[0].find('/') == std::string::npos;

  const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const int inFd = options.input.empty() ? -1 : ::open(options.input.c_str(), O_RDONLY | O_CLOEXEC);
  const int outFd = openOutput(options.out, devNull, out_);
  const int errFd = openOutput(options.err, devNull, err_);
  const auto closeChildEnds = [&] {
    if (devNull >= 0) ::close(devNull);
    if (inFd >= 0) ::close(inFd);
    if (outFd >= 0) ::close(outFd);
    if (errFd >= 0) ::close(errFd);
  };
  if (args.empty() || devNull < 0 || (!options.input.empty() && inFd < 0) || (options.out.kind != Output::Inherit && outFd < 0) ||
      (options.err.kind != Output::Inherit && errFd < 0)) {
    closeChildEnds();
    closeFd(out_);
    closeFd(err_);
    throw std::runtime_error("cannot prepare the streams of " + (args.empty() ? std::string("a child") : args[0]));
  }

  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // a crashed test must not leave the child behind
    if (::getppid() != parent) _exit(127);
    ::dup2(inFd >= 0 ? inFd : devNull, STDIN_FILENO);
    if (outFd >= 0) ::dup2(outFd, STDOUT_FILENO);
    if (errFd >= 0) ::dup2(errFd, STDERR_FILENO);
    if (searchPath) {
      ::execvpe(argv[0], argv.data(), childEnv);
    } else {
      ::execve(argv[0], argv.data(), childEnv);
    }
    _exit(127);
  }
  closeChildEnds();
  if (pid < 0) {
    const std::string reason = std::strerror(errno);
    closeFd(out_);
    closeFd(err_);
    throw std::runtime_error("fork: " + reason);
  }
  pid_ = pid;
  exitWatch_ = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

ChildProcess::~ChildProcess() {
  stop();
  closeFd(exitWatch_);
  closeFd(out_);
  closeFd(err_);
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  const Deadline deadline(timeout);
  std::string line;
  // One byte at a time: nothing after the line is taken from the pipe.
  for (;;) {
    pollfd entry{out_, POLLIN, 0};
    if (out_ < 0 || pollRetrying(&entry, 1, deadline) <= 0) return std::nullopt;
    char c;
    const ssize_t n = ::read(out_, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    if (c == '\n') return line;
    line += c;
  }
}

void ChildProcess::closeOutput() { closeFd(out_); }

bool ChildProcess::collect(std::string& out, std::string& err, std::chrono::milliseconds timeout) {
  const Deadline deadline(timeout);
  int* const fds[2] = {&out_, &err_};
  std::string* const sinks[2] = {&out, &err};
  for (;;) {
    pollfd entries[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (out_ < 0 && err_ < 0) return true;
    if (deadline.leftMs() <= 0 || pollRetrying(entries, 2, deadline) < 0) return false;
    for (int i = 0; i < 2; ++i) {
      if (*fds[i] < 0 || !(entries[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      const ssize_t n = ::read(*fds[i], buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        closeFd(*fds[i]);
      }
    }
  }
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds timeout) {
  if (status_ || pid_ <= 0) return status_;
  const Deadline deadline(timeout);
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(static_cast<pid_t>(pid_), &status, WNOHANG);
    if (done == pid_) break;
    if (done < 0 && errno != EINTR) return std::nullopt;
    if (deadline.leftMs() <= 0) return std::nullopt;
    if (exitWatch_ >= 0) {
      pollfd entry{exitWatch_, POLLIN, 0};
      pollRetrying(&entry, 1, deadline);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // a kernel without pidfd
    }
  }
  status_ = status;
  return status_;
}

int ChildProcess::stop(std::chrono::milliseconds grace) {
  if (status_ || pid_ <= 0) return status_.value_or(-1);
  ::kill(static_cast<pid_t>(pid_), SIGTERM);
  if (!waitExit(grace)) {
    ::kill(static_cast<pid_t>(pid_), SIGKILL);
    waitExit(std::chrono::seconds(10));
  }
  return status_.value_or(-1);
}

bool ChildProcess::signal(int number) {
  return !status_ && pid_ > 0 && ::kill(static_cast<pid_t>(pid_), number) == 0;
}

FileWatch::FileWatch(const std::filesystem::path& path) : watch_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
  if (watch_ >= 0) ::inotify_add_watch(watch_, path.c_str(), IN_MODIFY);
}

FileWatch::~FileWatch() {
  if (watch_ >= 0) ::close(watch_);
}

bool FileWatch::wait(std::chrono::milliseconds timeout) {
  const Deadline deadline(timeout);
  pollfd entry{watch_, POLLIN, 0};
  if (watch_ < 0 || pollRetrying(&entry, 1, deadline) <= 0) return false;
  char events[4096];
  while (::read(watch_, events, sizeof events) > 0) {
  }
  return true;
}

}  // namespace korvex::test
