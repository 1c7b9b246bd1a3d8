#include "phone.h"

#include <cstdio>

#include "text.h"

namespace korvex::cli {

void printMessage(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "korvex: %s\n", shown(message).c_str());
}

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

std::int64_t Phone::fileSize(const std::string& path) const {
  const int size = FileSize(handle_, path.c_str());
  return size == -1 ? -1 : static_cast<std::int64_t>(static_cast<std::uint32_t>(size));
}

std::optional<std::vector<std::string>> Phone::list(const std::string& path, bool directories) const {
  char* buffer = nullptr;
  const int length = directories ? GetDirectories(handle_, path.c_str(), &buffer) : GetFiles(handle_, path.c_str(), &buffer);
  if (length < 0) return std::nullopt;
  std::vector<std::string> names;
  if (length == 0) return names;
  const std::string text(buffer, static_cast<std::size_t>(length));
  FreeBuffer(buffer);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t slash = text.find('/', start);
    if (slash == std::string::npos) slash = text.size();
    const std::string_view name(text.data() + start, slash - start);
    if (!name.empty() && !(directories && (name == "." || name == ".."))) names.emplace_back(name);
    start = slash + 1;
  }
  return names;
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

std::string joinPhone(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  return directory.back() == '/' ? directory + name : directory + "/" + name;
}

std::string baseName(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  std::size_t slash = trimmed.find_last_of('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

}  // namespace korvex::cli
