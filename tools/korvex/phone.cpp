#include "phone.h"

namespace korvex::cli {

Phone::Phone(const std::string& address, const std::string& password) : address_(address) {
  int error = 0;
  handle_ = Connect(address.c_str(), password.c_str(), &error);
  if (handle_) return;
  if (error == 2) {
    throw Failure{kLoginRefused, "login to " + address + " refused: wrong password, or no answer within 3 s"};
  }
  throw Failure{kNoConnect, "cannot connect to " + address + ": no service answered on that address and port"};
}

bool Phone::connected() const {
  char connected = 0;
  // The library copies the whole address text back; the device name takes 64.
  std::string address(address_.size() + 1, '\0');
  char name[64] = {};
  ConnectionState(handle_, &connected, address.data(), name);
  return connected != 0;
}

Failure Phone::refusal(const std::string& what, const std::string& path, const std::string& hint) const {
  const std::string prefix = what + ": " + path + ": ";
  if (!connected()) return {kBroken, prefix + "the connection to the phone was lost"};
  if (exists(path) == 0) return {kRefused, prefix + "no such file or directory"};
  return {kRefused, prefix + (hint.empty() ? "the phone refused the request" : hint)};
}

std::string phoneParent(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseName(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  std::size_t slash = trimmed.find_last_of('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

}  // namespace korvex::cli
