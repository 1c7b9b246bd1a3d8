// The session every metadata call goes through. A lost connection fails the
// call that meets it (EIO); the next call connects again.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "korvex.h"

namespace korvex::mount {

// A session held while a call uses it. A lost session is replaced by a new
// one; the last holder of the old one disconnects it, so a call still on
// its way never meets a freed session.
class SessionRef {
 public:
  SessionRef() = default;
  explicit SessionRef(std::shared_ptr<KorvexSession> session) : session_(std::move(session)) {}
  operator SessionHandle() const { return session_.get(); }  // NOLINT: used where the C calls want a handle

 private:
  std::shared_ptr<KorvexSession> session_;
};

class Phone {
 public:
  Phone(std::string address, std::string password);

  const std::string& address() const { return address_; }
  const std::string& password() const { return password_; }

  // Connects now: Connect's error code (0 done, 1 no TCP connection, 2 login refused).
  int connect();
  // A session for the next call, connecting first when there is none or the
  // last one lost its connection; empty when that fails.
  SessionRef session();
  // Whether the session still has its connection. After a failed call this
  // tells a refusal by the phone (alive) from a broken exchange (not).
  bool alive(SessionHandle session) const;

 private:
  std::string address_;
  std::string password_;
  std::mutex mutex_;
  SessionRef current_;  // guarded by mutex_
  bool down_ = false;               // guarded by mutex_: the loss was reported
};

}  // namespace korvex::mount
