#include "phone.h"

#include <vector>

#include "note.h"

namespace korvex::mount {
namespace {

const char* connectError(int error) { return error == 2 ? "login refused or not answered" : "cannot connect"; }

}  // namespace

Phone::Phone(std::string address, std::string password)
    : address_(std::move(address)), password_(std::move(password)) {}

int Phone::connect() {
  std::lock_guard hold(mutex_);
  int error = 0;
  SessionHandle fresh = Connect(address_.c_str(), password_.c_str(), &error);
  if (fresh) handle_ = fresh;
  return fresh ? 0 : (error ? error : 1);
}

SessionHandle Phone::session() {
  std::lock_guard hold(mutex_);
  if (handle_ && alive(handle_)) return handle_;
  if (handle_ && !down_) note("connection to %s lost; connecting again", address_.c_str());
  int error = 0;
  // The library never frees a session: a lost one stays behind, unused.
  SessionHandle fresh = Connect(address_.c_str(), password_.c_str(), &error);
  if (!fresh) {
    if (!down_) {
      note("%s: %s; operations fail with EIO until it answers", address_.c_str(), connectError(error));
    }
    down_ = true;
    return nullptr;
  }
  if (handle_ || down_) note("connected to %s again", address_.c_str());
  handle_ = fresh;
  down_ = false;
  return fresh;
}

bool Phone::alive(SessionHandle session) const {
  char connected = 0;
  std::vector<char> address(address_.size() + 1);
  char name[64];
  ConnectionState(session, &connected, address.data(), name);
  return connected != 0;
}

}  // namespace korvex::mount
