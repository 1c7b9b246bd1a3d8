#include "phone.h"

#include <utility>

#include "connect_failure.h"

namespace korvex::cli {

korvex::Session openSession(const std::string& address, const std::string& password) {
  korvex::LoginEnd ended = korvex::LoginEnd::closed;
  auto session = korvex::Session::connect(address, password, ended);
  if (session) return std::move(session).value();
  const korvex::Errc error = session.error();
  throw Failure{error == korvex::Errc::login_failed ? kLoginRefused : kNoConnect, connectFailure(address, error, ended)};
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
