// Looking a host name up, to tell a name that does not resolve from a phone
// that does not answer once a connection has failed. One file per platform.
#pragma once

#include <optional>
#include <string>

namespace korvex::cli {

// Why `host` does not resolve to an IPv4 address, or nothing when it does
// (or when the system cannot tell).
std::optional<std::string> hostLookupFailure(const std::string& host);

}  // namespace korvex::cli
