#include "phone.h"

#include <utility>

namespace korvex::cli {

korvex::Session openSession(const std::string& address, const std::string& password) {
  auto session = korvex::Session::connect(address, password);
  if (session) return std::move(session).value();
  if (session.error() == korvex::Errc::login_failed) {
    throw Failure{kLoginRefused, "login to " + address + " refused: wrong password, or no answer within 3 s"};
  }
  throw Failure{kNoConnect, "cannot connect to " + address + ": no service answered on that address and port"};
}

Failure refusal(const korvex::Session& phone, const std::string& what, const std::string& path,
                const std::string& hint) {
  const std::string prefix = what + ": " + path + ": ";
  if (!phone.connected()) return {kBroken, prefix + "the connection to the phone was lost"};
  if (no(phone.exists(path))) return {kRefused, prefix + "no such file or directory"};
  return {kRefused, prefix + (hint.empty() ? "the phone refused the request" : hint)};
}

Failure directoryRefusal(const korvex::Session& phone, const std::string& what, const std::string& path,
                         const std::string& hint) {
  if (yes(phone.exists(path)) && no(phone.is_directory(path))) {
    return {kRefused, what + ": " + path + ": not a directory"};
  }
  return refusal(phone, what, path, hint);
}

}  // namespace korvex::cli
