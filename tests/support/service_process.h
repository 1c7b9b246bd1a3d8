// Runs the reference service, korvexd, for one test or benchmark.
//
// The service listens on 127.0.0.1 at a port the system picks and serves a
// fresh temporary directory (or one given); it is stopped (SIGTERM, then
// SIGKILL if it lingers) when the object goes away, and its temporary
// directory goes with it. Its log is written beside the root, never inside
// it. Create and destroy it on the same thread (see ChildProcess).
//
// Windows test programs cannot start the Linux korvexd: there the service
// is started outside the test (tests/windows/with_service.sh) and named in
// the environment, and only the default options can be honoured.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.h"

namespace korvex::test {

class TempDir;

class ServiceProcess {
 public:
  struct Options {
    std::string password = "korvex-test-password";
    std::string deviceName = "korvex-test-phone";
    std::filesystem::path binary{};      // empty: the korvexd this build made
    std::filesystem::path root{};        // the directory served; empty: a fresh one
    std::filesystem::path workdir{};     // where the temporary directory goes; empty: the system's
    std::vector<std::string> extraArgs;  // more korvexd flags, e.g. "--power-exits"
    // How korvexd gets the password: --password, --password-file (a file
    // beside the root) or KORVEXD_PASSWORD.
    enum class PasswordVia { Argument, File, Environment };
    PasswordVia passwordVia = PasswordVia::Argument;
    // --allow-chown: tests act as the phone's owner, often as root, where
    // korvexd refuses CHOWN without it.
    bool allowChown = true;
  };

  // Throws std::runtime_error, with the service's log, when it does not come up.
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
  long pid() const;

  // What the service has logged so far.
  std::string log() const;
  // Waits until the log contains `text`.
  bool waitForLog(std::string_view text, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  // Waits for the service to end by itself; its wait status, or nothing
  // when it still runs at the time-out.
  std::optional<int> waitExit(std::chrono::milliseconds timeout);
  // Sends SIGTERM and waits; the wait status. Later calls return it again.
  int stop();

 private:
  Options options_;
  std::unique_ptr<TempDir> dir_;  // holds the log, and the root unless one was given
  std::filesystem::path root_;
  std::filesystem::path logPath_;
  // Shared, not unique: its deleter is fixed where a process is started, so
  // Windows builds, which start none, need no ChildProcess.
  std::shared_ptr<ChildProcess> process_;
  std::uint16_t port_ = 0;
};

}  // namespace korvex::test
