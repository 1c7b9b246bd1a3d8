// The web server's way to the phone: one session for commands and
// listings, shared by the request threads (the library runs their calls one
// after another), replaced by a new one on the next request after it lost
// its connection. Copies run on connections of their own.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "korvex.hpp"

namespace korvex::web {

// A session held while a request uses it; a replaced one is disconnected
// by its last holder, so a request on its way never meets a freed session.
using SessionRef = std::shared_ptr<const korvex::Session>;

class PhoneLink {
 public:
  PhoneLink(std::string address, std::string password)
      : address_(std::move(address)), password_(std::move(password)) {}

  // Connects now, as every subcommand does: throws the command line's
  // Failure (cannot connect, login refused).
  void connect();

  struct Use {
    SessionRef session;  // empty: no session could be opened (error says why)
    korvex::Errc error = korvex::Errc::ok;
    bool reconnected = false;  // the last session was lost and this one is new
  };
  // The session for the next request, connecting first when the last one
  // lost its connection.
  Use use();
  // Whether the current session is connected; no network traffic.
  bool connected();

 private:
  const std::string address_;
  const std::string password_;
  std::mutex mutex_;
  SessionRef current_;  // guarded by mutex_
};

}  // namespace korvex::web
