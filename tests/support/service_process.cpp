#include "service_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifndef KORVEXD_PATH
#error "KORVEXD_PATH must name the korvexd binary"
#endif

namespace korvex::test {
namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Reads the first line the service prints, which names its port.
std::string readFirstLine(int fd, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  std::string line;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, remainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return {};
    char c;
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return {};
    if (c == '\n') return line;
    line += c;
  }
}

}  // namespace

ServiceProcess::ServiceProcess() : ServiceProcess(Options{}) {}

ServiceProcess::ServiceProcess(Options options) : options_(std::move(options)) {
  std::string pattern = (std::filesystem::temp_directory_path() / "korvexd-test.XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
  dir_ = pattern;
  root_ = dir_ / "root";
  logPath_ = dir_ / "korvexd.log";
  std::filesystem::create_directory(root_);

  std::vector<std::string> args = {KORVEXD_PATH,  "--root",     root_.string(), "--password", options_.password,
                                   "--listen",    "127.0.0.1:0", "--name",      options_.deviceName};
  args.insert(args.end(), options_.extraArgs.begin(), options_.extraArgs.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int out[2];
  int logFd = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (logFd < 0 || pipe2(out, O_CLOEXEC) != 0) {
    if (logFd >= 0) ::close(logFd);
    std::filesystem::remove_all(dir_);
    throw std::runtime_error("cannot prepare the service's output");
  }
  pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls between fork and exec: the test may run threads.
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // a crashed test must not leave the service behind
    if (getppid() != parent) _exit(127);
    dup2(out[1], STDOUT_FILENO);
    dup2(logFd, STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  ::close(out[1]);
  ::close(logFd);
  if (pid_ < 0) {
    ::close(out[0]);
    std::filesystem::remove_all(dir_);
    throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
  }
  pidFd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));

  std::string line = readFirstLine(out[0], std::chrono::seconds(20));
  ::close(out[0]);  // the service prints nothing more; it ignores SIGPIPE
  std::size_t colon = line.rfind(':');
  if (line.rfind("korvexd listening on 127.0.0.1:", 0) != 0 || colon == std::string::npos) {
    stop();
    std::string logText = log();
    std::filesystem::remove_all(dir_);
    throw std::runtime_error("korvexd did not start: \"" + line + "\"; log: " + logText);
  }
  port_ = static_cast<std::uint16_t>(std::stoi(line.substr(colon + 1)));
}

ServiceProcess::~ServiceProcess() {
  stop();
  if (pidFd_ >= 0) ::close(pidFd_);
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string ServiceProcess::address() const { return "127.0.0.1:" + std::to_string(port_); }

std::string ServiceProcess::log() const {
  std::ifstream in(logPath_);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool ServiceProcess::waitForLog(std::string_view text, std::chrono::milliseconds timeout) const {
  auto deadline = Clock::now() + timeout;
  int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  inotify_add_watch(watch, logPath_.c_str(), IN_MODIFY);
  bool found = false;
  // Watch first, then look: a line written in between still wakes the poll.
  for (;;) {
    found = log().find(text) != std::string::npos;
    if (found) break;
    pollfd p{watch, POLLIN, 0};
    if (::poll(&p, 1, remainingMs(deadline)) <= 0) {
      found = log().find(text) != std::string::npos;
      break;
    }
    char events[4096];
    while (::read(watch, events, sizeof events) > 0) {
    }
  }
  ::close(watch);
  return found;
}

std::optional<int> ServiceProcess::waitExit(std::chrono::milliseconds timeout) {
  if (status_ || pid_ <= 0) return status_;
  if (pidFd_ >= 0) {
    pollfd p{pidFd_, POLLIN, 0};
    auto deadline = Clock::now() + timeout;
    int ready;
    while ((ready = ::poll(&p, 1, remainingMs(deadline))) < 0 && errno == EINTR) {
    }
    if (ready == 0) return std::nullopt;
  }
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  status_ = status;
  return status_;
}

int ServiceProcess::stop() {
  if (status_ || pid_ <= 0) return status_.value_or(-1);
  kill(pid_, SIGTERM);
  if (!waitExit(std::chrono::seconds(10))) {
    kill(pid_, SIGKILL);
    waitExit(std::chrono::seconds(10));
  }
  return status_.value_or(-1);
}

}  // namespace korvex::test
