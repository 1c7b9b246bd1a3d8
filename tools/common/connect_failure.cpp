#include "connect_failure.h"

#include "host_lookup.h"
#include "phone_config.h"

namespace korvex::cli {

std::string connectFailure(const std::string& address, korvex::Errc error, std::optional<korvex::LoginEnd> ended) {
  if (error == korvex::Errc::login_failed) {
    return "login to " + address + " refused: " +
           (ended ? korvex::message(*ended) : "wrong password, or no answer within 3 s");
  }
  const std::string host = hostOf(address);
  if (const auto lookup = hostLookupFailure(host)) {
    return "cannot connect to " + address + ": the name " + host + " cannot be resolved (" + *lookup + ")";
  }
  return "cannot connect to " + address + ": no service answered on that address and port";
}

}  // namespace korvex::cli
