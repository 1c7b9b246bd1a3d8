// The service's side of one client's connection: the login handshake, then
// command exchanges one at a time until the peer closes, breaks the protocol
// or stalls. Request blocks are read through the shared codec
// (protocol.h), so both ends agree on every byte.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "login_throttle.h"
#include "root.h"
#include "wire.h"

namespace korvexd {

struct ServiceConfig {
  std::string password;
  std::string deviceName;
  bool powerExits = false;
  int ioTimeoutMs = 10000;     // longest stall inside a login, request or transfer
  int idleTimeoutMs = 120000;  // longest gap between two commands; -1: none
  int loginTimeoutMs = 10000;  // the whole login block must arrive this soon after the accept
  bool chownAllowed = true;    // false: CHOWN is refused (a service running as root)
  unsigned newFileMode = 0644; // permission bits of an uploaded file that replaces none
  // The root acts as a volume of this many KiB: its free space is what its
  // files leave of it, and an upload that would not fit is refused. Unset:
  // the file system's own.
  std::optional<std::uint64_t> capacityKiB;
};

class ClientSession {
 public:
  // `powerOff` is called after a power command was answered, with --power-exits.
  // `throttle`, when given, delays answers to addresses that failed logins.
  // `admit`, when given, is asked once the password is right: false when the
  // server dropped the connection meanwhile or has no room for another session.
  ClientSession(int fd, std::uint64_t id, std::string peer, const Root& root, const ServiceConfig& config,
             std::function<void()> powerOff, LoginThrottle* throttle = nullptr, std::function<bool()> admit = {});

  void serve();

 private:
  bool login();
  // Reads and runs one command; false once the connection must close.
  bool serveOne();
  // Runs one command whose request block has been read and checked; false
  // when the connection must close (the stream can no longer stay in step).
  bool execute(std::uint32_t code, const std::uint8_t* block);
  bool serveRename(const std::uint8_t* block);
  bool serveChown(const std::uint8_t* block);

  bool reply(std::int32_t status, std::uint32_t value = 0, bool more = false);
  // Replies `okStatus` when `error` is 0, else `failStatus` with a log line.
  bool verdict(std::uint32_t code, std::string_view path, int error, std::int32_t okStatus = 0,
               std::int32_t failStatus = 1);
  void refused(std::uint32_t code, std::string_view path, const char* reason);
  bool sendListing(std::uint32_t code, std::string_view path);
  bool sendFile(std::string_view path);
  bool receiveFile(std::string_view path, std::uint32_t length);
  // Records why the connection ends (logged once by serve()); returns false.
  bool closeWith(std::string reason);

  Wire wire_;
  std::uint64_t id_;
  std::string peer_;
  const Root& root_;
  const ServiceConfig& config_;
  std::function<void()> powerOff_;
  LoginThrottle* throttle_;
  std::function<bool()> admit_;
  LoginThrottle::Clock::time_point loginDeadline_;
  std::string closeReason_ = "peer closed";
};

}  // namespace korvexd
