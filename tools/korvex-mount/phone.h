// The session every metadata call goes through. A lost connection fails the
// call that meets it (EIO); the next call connects again.
#pragma once

#include <mutex>
#include <string>

#include "korvex.h"

namespace korvex::mount {

class Phone {
 public:
  Phone(std::string address, std::string password);

  const std::string& address() const { return address_; }
  const std::string& password() const { return password_; }

  // Connects now: Connect's error code (0 done, 1 no TCP connection, 2 login refused).
  int connect();
  // A session for the next call, connecting first when there is none or the
  // last one lost its connection; nullptr when that fails.
  SessionHandle session();
  // Whether the session still has its connection. After a failed call this
  // tells a refusal by the phone (alive) from a broken exchange (not).
  bool alive(SessionHandle session) const;

 private:
  std::string address_;
  std::string password_;
  std::mutex mutex_;
  SessionHandle handle_ = nullptr;  // guarded by mutex_
  bool down_ = false;               // guarded by mutex_: the loss was reported
};

}  // namespace korvex::mount
