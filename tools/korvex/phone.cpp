#include "phone.h"

#include <utility>

#include "host_lookup.h"
#include "phone_config.h"

namespace korvex::cli {

korvex::Session openSession(const std::string& address, const std::string& password) {
  korvex::LoginEnd ended = korvex::LoginEnd::closed;
  auto session = korvex::Session::connect(address, password, ended);
  if (session) return std::move(session).value();
  if (session.error() == korvex::Errc::login_failed) {
    throw Failure{kLoginRefused, "login to " + address + " refused: " + korvex::message(ended)};
  }
  // The library does not say why; a name that does not resolve is the one
  // cause worth telling apart from a phone that does not answer.
  const std::string host = hostOf(address);
  if (const auto lookup = hostLookupFailure(host)) {
    throw Failure{kNoConnect, "cannot connect to " + address + ": the name " + host + " cannot be resolved (" +
                                  *lookup + ")"};
  }
  throw Failure{kNoConnect, "cannot connect to " + address + ": no service answered on that address and port"};
}

Failure asFailure(const std::string& what, const std::string& path, const korvex::Reason& why,
                const std::string& hint) {
  const std::string prefix = what + ": " + path + ": ";
  switch (why.error()) {
    case korvex::Errc::connection_lost: return {kBroken, prefix + korvex::message(why.error())};
    case korvex::Errc::local_file: return {kLocalFile, prefix + why.code().message()};
    case korvex::Errc::refused:
      return {kRefused, prefix + (hint.empty() ? "the phone refused the request" : hint)};
    default: return {kRefused, prefix + korvex::message(why.error())};
  }
}

Failure refusal(const korvex::Session& phone, const std::string& what, const std::string& path,
                const std::string& hint) {
  return asFailure(what, path, phone.why(korvex::Operation::access, path), hint);
}

Failure directoryRefusal(const korvex::Session& phone, const std::string& what, const std::string& path,
                         const std::string& hint) {
  return asFailure(what, path, phone.why(korvex::Operation::list, path), hint);
}

}  // namespace korvex::cli
