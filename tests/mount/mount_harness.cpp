#include "mount_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifndef KORVEX_MOUNT_PATH
#error "KORVEX_MOUNT_PATH must name the korvex-mount binary"
#endif

extern char** environ;

namespace korvex::test {
namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

// Builds the argument and environment arrays before fork: the child may only
// call async-signal-safe functions.
struct ExecArrays {
  std::vector<std::string> argStrings, envStrings;
  std::vector<char*> argv, envp;
  ExecArrays(std::vector<std::string> args, const std::map<std::string, std::string>& env)
      : argStrings(std::move(args)) {
    for (char** entry = environ; *entry; ++entry) {
      const std::string_view text(*entry);
      const std::string name(text.substr(0, text.find('=')));
      if (!env.count(name)) envStrings.emplace_back(text);
    }
    for (const auto& [name, value] : env) envStrings.push_back(name + "=" + value);
    for (std::string& arg : argStrings) argv.push_back(arg.data());
    argv.push_back(nullptr);
    for (std::string& entry : envStrings) envp.push_back(entry.data());
    envp.push_back(nullptr);
  }
};

}  // namespace

std::string fuseUnavailable() {
  const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fd < 0) return std::string("/dev/fuse cannot be opened: ") + std::strerror(errno);
  ::close(fd);
  if (::geteuid() != 0 && !onPath("fusermount3")) return "not root and no fusermount3 on PATH";
  if (!onPath("fusermount3") && !onPath("umount")) return "neither fusermount3 nor umount on PATH";
  return {};
}

Shell::Shell(const std::string& script, const std::map<std::string, std::string>& env,
             std::chrono::milliseconds timeout)
    : deadline_(Clock::now() + timeout) {
  ExecArrays exec({"/bin/sh", "-c", script}, env);
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);
    dup2(devNull, STDIN_FILENO);
    dup2(pipeFds[1], STDOUT_FILENO);
    dup2(pipeFds[1], STDERR_FILENO);
    execve(exec.argv[0], exec.argv.data(), exec.envp.data());
    _exit(127);
  }
  ::close(devNull);
  ::close(pipeFds[1]);
  output_ = pipeFds[0];
  if (pid_ < 0) throw std::runtime_error("fork failed");
  setpgid(pid_, pid_);  // also from here, so a kill right away reaches the group
}

Shell::~Shell() {
  if (!reaped_ && pid_ > 0) {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (output_ >= 0) ::close(output_);
}

ShellResult Shell::wait() {
  ShellResult result;
  pollfd p{output_, POLLIN, 0};
  for (;;) {
    const int left = remainingMs(deadline_);
    if (left == 0) {
      result.timedOut = true;
      break;
    }
    const int ready = ::poll(&p, 1, left);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(output_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(buffer, static_cast<std::size_t>(n));
  }
  // The group goes too: a command left in the background must not outlive the test.
  kill(-pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
  if (!result.timedOut && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

ShellResult runShell(const std::string& script, const std::map<std::string, std::string>& env,
                     std::chrono::milliseconds timeout) {
  Shell shell(script, env, timeout);
  return shell.wait();
}

MountProcess::MountProcess(const std::string& address, const std::string& password,
                           std::vector<std::string> extraArgs) {
  std::string pattern = (std::filesystem::temp_directory_path() / "korvex-mount-test.XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
  dir_ = std::filesystem::canonical(pattern);
  mountpoint_ = dir_ / "mnt";
  cacheParent_ = dir_ / "cache";
  logPath_ = dir_ / "korvex-mount.log";
  std::filesystem::create_directory(mountpoint_);
  std::filesystem::create_directory(cacheParent_);
  const std::filesystem::path passwordFile = dir_ / "password";
  std::ofstream(passwordFile) << password << "\n";
  // The program refuses a password file others may read.
  std::filesystem::permissions(passwordFile, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  std::vector<std::string> args{KORVEX_MOUNT_PATH, "--host",      address,      "--password-file",
                                passwordFile,      "--cache-dir", cacheParent_, "-f"};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  args.push_back(mountpoint_);
  ExecArrays exec(std::move(args), {{"XDG_CACHE_HOME", (dir_ / "xdg").string()}});
  const int logFd = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    // A test that dies leaves no mount behind: SIGTERM makes it unmount.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    dup2(devNull, STDIN_FILENO);
    dup2(logFd, STDOUT_FILENO);
    dup2(logFd, STDERR_FILENO);
    execve(exec.argv[0], exec.argv.data(), exec.envp.data());
    _exit(127);
  }
  ::close(devNull);
  ::close(logFd);
  if (pid_ < 0) throw std::runtime_error("fork failed");
  pidFd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));

  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!mounted()) {
    pollfd p{pidFd_, POLLIN, 0};
    // Exited, or still not mounted at the deadline.
    if (::poll(&p, 1, 5) > 0 || Clock::now() > deadline) {
      unmount();
      const std::string output = log();
      std::error_code ignored;
      std::filesystem::remove_all(dir_, ignored);
      throw std::runtime_error("korvex-mount did not mount: " + output);
    }
  }
}

MountProcess::~MountProcess() {
  unmount();
  std::error_code ignored;
  // Only once nothing is mounted there: remove_all must not walk the phone.
  if (!mounted()) std::filesystem::remove_all(dir_, ignored);
}

std::string MountProcess::log() const {
  std::ifstream in(logPath_);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool MountProcess::mounted() const { return !mountInfo().empty(); }

std::string MountProcess::mountInfo() const {
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    fields >> id >> parent >> device >> root >> point;
    if (point == mountpoint_.string()) return line;
  }
  return {};
}

bool MountProcess::waitExit(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    pollfd p{pidFd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, remainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, 0) == pid_) status_ = status;
    return true;
  }
}

void MountProcess::signal(int number) const {
  if (!done_ && pid_ > 0) kill(pid_, number);
}

int MountProcess::unmount() {
  if (done_ || pid_ <= 0) return status_;
  done_ = true;
  const std::map<std::string, std::string> noEnv;
  const std::string point = mountpoint_.string();
  // A program already on its way out (signalled) unmounts by itself.
  bool exited = waitExit(std::chrono::milliseconds(0));
  if (!exited && mounted()) {
    runShell("fusermount3 -u '" + point + "' || umount '" + point + "'", noEnv, std::chrono::seconds(10));
  }
  if (!exited) exited = waitExit(std::chrono::seconds(10));
  if (!exited) {
    kill(pid_, SIGTERM);
    exited = waitExit(std::chrono::seconds(5));
  }
  if (!exited) {
    kill(pid_, SIGKILL);
    waitExit(std::chrono::seconds(5));
    status_ = -1;
  }
  if (mounted()) {
    runShell("umount -l '" + point + "' || fusermount3 -u -z '" + point + "'", noEnv, std::chrono::seconds(10));
  }
  ::close(pidFd_);
  return status_;
}

}  // namespace korvex::test
