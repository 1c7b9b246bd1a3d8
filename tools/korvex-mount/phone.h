// The session every metadata call goes through. A lost connection fails the
// call that meets it (EIO); the next call connects again.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "korvex.hpp"

namespace korvex::mount {

// A session held while a call uses it. A lost session is replaced by a new
// one; the last holder of the old one disconnects it, so a call still on
// its way never meets a freed session.
using SessionRef = std::shared_ptr<const korvex::Session>;

class Phone {
 public:
  Phone(std::string address, std::string password);

  const std::string& address() const { return address_; }
  const std::string& password() const { return password_; }

  // Connects now: connect_failed or login_failed when that fails.
  korvex::Status connect();
  // A session for the next call, connecting first when there is none or the
  // last one lost its connection; empty when that fails.
  SessionRef session();

 private:
  std::string address_;
  std::string password_;
  std::mutex mutex_;
  SessionRef current_;  // guarded by mutex_
  bool down_ = false;   // guarded by mutex_: the loss was reported
};

}  // namespace korvex::mount
