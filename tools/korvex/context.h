// What every command shares: the session, opened on first use so that local
// mistakes are reported without touching the network.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "korvex.hpp"
#include "phone.h"

namespace korvex::cli {

// -q: no progress and no summary line; -v: the connection and each file of a
// tree copy as well. Failures are reported whatever the choice.
enum class Verbosity { Quiet, Normal, Verbose };

class Context {
 public:
  Context(std::string address, std::string password, Verbosity verbosity = Verbosity::Normal)
      : address_(std::move(address)), password_(std::move(password)), verbosity_(verbosity) {}

  // The session ends with the context: the phone sees the connection close
  // at once.
  const korvex::Session& phone() {
    if (!phone_) {
      phone_ = openSession(address_, password_);
      if (verbosity_ == Verbosity::Verbose) printMessage("connected to " + address_);
    }
    return *phone_;
  }
  // Forgets a session that has lost its connection, so the next phone()
  // connects again; true when there was one.
  bool dropLostSession() {
    if (!phone_ || phone_->connected()) return false;
    phone_.reset();
    return true;
  }
  const std::string& address() const { return address_; }
  const std::string& password() const { return password_; }
  Verbosity verbosity() const { return verbosity_; }

 private:
  std::string address_;
  std::string password_;
  Verbosity verbosity_;
  std::optional<korvex::Session> phone_;
};

}  // namespace korvex::cli
