// What every command shares: the session, opened on first use so that local
// mistakes are reported without touching the network.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "korvex.hpp"
#include "phone.h"

namespace korvex::cli {

class Context {
 public:
  Context(std::string address, std::string password)
      : address_(std::move(address)), password_(std::move(password)) {}

  // The session ends with the context: the phone sees the connection close
  // at once.
  const korvex::Session& phone() {
    if (!phone_) phone_ = openSession(address_, password_);
    return *phone_;
  }
  const std::string& address() const { return address_; }
  const std::string& password() const { return password_; }

 private:
  std::string address_;
  std::string password_;
  std::optional<korvex::Session> phone_;
};

}  // namespace korvex::cli
