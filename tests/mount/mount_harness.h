// Runs korvex-mount for one test, and shell commands against the mount.
//
// Every mount is undone whatever happens to the test: the destructor asks
// fusermount3 to unmount, waits a bounded time for the process, signals it if
// it lingers, and detaches the mount lazily if it is still there.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace korvex::test {

// Why a FUSE mount cannot be made here, or empty when it can.
std::string fuseUnavailable();

struct ShellResult {
  int status = -1;  // exit status; -1 when killed or timed out
  bool timedOut = false;
  std::string output;  // standard output and error together
};

// `sh -c script` in a process group of its own, with `env` added to the
// environment; the whole group is killed at the time-out.
class Shell {
 public:
  Shell(const std::string& script, const std::map<std::string, std::string>& env,
        std::chrono::milliseconds timeout = std::chrono::seconds(60));
  ~Shell();
  Shell(const Shell&) = delete;
  Shell& operator=(const Shell&) = delete;
  ShellResult wait();

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  bool reaped_ = false;
  std::chrono::steady_clock::time_point deadline_;
};

ShellResult runShell(const std::string& script, const std::map<std::string, std::string>& env,
                     std::chrono::milliseconds timeout = std::chrono::seconds(60));

class MountProcess {
 public:
  // Mounts the service at `address` on a fresh directory, in the foreground,
  // with its cache under cacheParent(). Throws std::runtime_error with the
  // program's output when the mount does not appear within 10 s.
  MountProcess(const std::string& address, const std::string& password, std::vector<std::string> extraArgs = {});
  ~MountProcess();
  MountProcess(const MountProcess&) = delete;
  MountProcess& operator=(const MountProcess&) = delete;

  const std::filesystem::path& path() const { return mountpoint_; }
  const std::filesystem::path& cacheParent() const { return cacheParent_; }
  // Where the program keeps unsent files by default: XDG_CACHE_HOME is set
  // to a directory of the test's own.
  std::filesystem::path defaultUnsentDir() const { return dir_ / "xdg/korvex-mount/unsent"; }
  // The mount's line in /proc/self/mountinfo, empty when not mounted.
  std::string mountInfo() const;
  std::string log() const;
  bool mounted() const;
  // Sends the program a signal (SIGINT ends the mount as Ctrl-C does).
  void signal(int number) const;
  // Unmounts and waits for the program: its waitpid status, or -1 when it
  // had to be killed. Later calls return the same.
  int unmount();

 private:
  bool waitExit(std::chrono::milliseconds timeout);

  std::filesystem::path dir_;
  std::filesystem::path mountpoint_;
  std::filesystem::path cacheParent_;
  std::filesystem::path logPath_;
  pid_t pid_ = -1;
  int pidFd_ = -1;
  int status_ = -1;
  bool done_ = false;
};

}  // namespace korvex::test
