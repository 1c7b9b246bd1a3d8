#include "phone_link.h"

#include "phone.h"

namespace korvex::web {

void PhoneLink::connect() {
  auto session = std::make_shared<const korvex::Session>(korvex::cli::openSession(address_, password_));
  std::lock_guard hold(mutex_);
  current_ = std::move(session);
}

PhoneLink::Use PhoneLink::use() {
  std::lock_guard hold(mutex_);
  if (current_ && current_->connected()) return {current_};
  korvex::Result<korvex::Session> fresh = korvex::Session::connect(address_, password_);
  if (!fresh) return {nullptr, fresh.error()};
  current_ = std::make_shared<const korvex::Session>(std::move(fresh).value());
  return {current_, korvex::Errc::ok, true};
}

bool PhoneLink::connected() {
  std::lock_guard hold(mutex_);
  return current_ && current_->connected();
}

}  // namespace korvex::web
