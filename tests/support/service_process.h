// Runs the reference service, korvexd, for one test.
//
// The service serves a fresh temporary directory, listens on 127.0.0.1 at a
// port the system picks, and is stopped (SIGTERM, then SIGKILL if it lingers)
// when the object goes away; the directory goes with it. Its log is written
// to a file beside the root, never inside it. Should the thread that created
// the object end without it (a crashed test), the service gets SIGTERM, so
// create and destroy it on the same thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvex::test {

class ServiceProcess {
 public:
  struct Options {
    std::string password = "korvex-test-password";
    std::string deviceName = "korvex-test-phone";
    std::vector<std::string> extraArgs;  // more korvexd flags, e.g. "--power-exits"
  };

  // Throws std::runtime_error when the service does not come up.
  ServiceProcess();
  explicit ServiceProcess(Options options);
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::uint16_t port() const { return port_; }
  std::string address() const;  // "127.0.0.1:PORT"
  const std::string& password() const { return options_.password; }
  const std::string& deviceName() const { return options_.deviceName; }
  pid_t pid() const { return pid_; }

  // What the service has logged so far.
  std::string log() const;
  // Waits until the log contains `text`.
  bool waitForLog(std::string_view text, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  // Waits for the service to end by itself; its waitpid status, or nothing
  // when it still runs at the time-out.
  std::optional<int> waitExit(std::chrono::milliseconds timeout);
  // Sends SIGTERM and waits; the waitpid status. Later calls return it again.
  int stop();

 private:
  Options options_;
  std::filesystem::path dir_;   // temporary: holds root_ and the log
  std::filesystem::path root_;
  std::filesystem::path logPath_;
  pid_t pid_ = -1;
  int pidFd_ = -1;
  std::optional<int> status_;
  std::uint16_t port_ = 0;
};

}  // namespace korvex::test
