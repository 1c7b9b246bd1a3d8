#include "phone.h"

#include "note.h"

namespace korvex::mount {
namespace {

const char* connectError(korvex::Errc error) {
  return error == korvex::Errc::login_failed ? "login refused or not answered" : "cannot connect";
}

}  // namespace

Phone::Phone(std::string address, std::string password)
    : address_(std::move(address)), password_(std::move(password)) {}

korvex::Status Phone::connect() {
  std::lock_guard hold(mutex_);
  korvex::Result<korvex::Session> fresh = korvex::Session::connect(address_, password_);
  if (!fresh) return fresh.error();
  current_ = std::make_shared<const korvex::Session>(std::move(fresh).value());
  return {};
}

SessionRef Phone::session() {
  std::lock_guard hold(mutex_);
  if (current_ && current_->connected()) return current_;
  if (current_ && !down_) note("connection to %s lost; connecting again", address_.c_str());
  korvex::Result<korvex::Session> fresh = korvex::Session::connect(address_, password_);
  if (!fresh) {
    if (!down_) {
      note("%s: %s; operations fail with EIO until it answers", address_.c_str(), connectError(fresh.error()));
    }
    down_ = true;
    return {};
  }
  if (current_ || down_) note("connected to %s again", address_.c_str());
  current_ = std::make_shared<const korvex::Session>(std::move(fresh).value());  // the lost one ends with its last holder
  down_ = false;
  return current_;
}

}  // namespace korvex::mount
