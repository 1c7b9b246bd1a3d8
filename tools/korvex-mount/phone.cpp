#include "phone.h"

#include <vector>

#include "note.h"

namespace korvex::mount {
namespace {

const char* connectError(int error) { return error == 2 ? "login refused or not answered" : "cannot connect"; }

SessionRef owned(SessionHandle handle) {
  return SessionRef(std::shared_ptr<KorvexSession>(handle, [](SessionHandle h) { Disconnect(h); }));
}

}  // namespace

Phone::Phone(std::string address, std::string password)
    : address_(std::move(address)), password_(std::move(password)) {}

int Phone::connect() {
  std::lock_guard hold(mutex_);
  int error = 0;
  SessionHandle fresh = Connect(address_.c_str(), password_.c_str(), &error);
  if (fresh) current_ = owned(fresh);
  return fresh ? 0 : (error ? error : 1);
}

SessionRef Phone::session() {
  std::lock_guard hold(mutex_);
  if (current_ && alive(current_)) return current_;
  if (current_ && !down_) note("connection to %s lost; connecting again", address_.c_str());
  int error = 0;
  SessionHandle fresh = Connect(address_.c_str(), password_.c_str(), &error);
  if (!fresh) {
    if (!down_) {
      note("%s: %s; operations fail with EIO until it answers", address_.c_str(), connectError(error));
    }
    down_ = true;
    return {};
  }
  if (current_ || down_) note("connected to %s again", address_.c_str());
  current_ = owned(fresh);  // the lost one ends with its last holder
  down_ = false;
  return current_;
}

bool Phone::alive(SessionHandle session) const {
  char connected = 0;
  std::vector<char> address(address_.size() + 1);
  char name[64];
  ConnectionState(session, &connected, address.data(), name);
  return connected != 0;
}

}  // namespace korvex::mount
