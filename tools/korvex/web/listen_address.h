// Where the web server listens, as --listen gives it: HOST:PORT, with an
// IPv6 host in brackets. Pure text.
#pragma once

#include <optional>
#include <string>

namespace korvex::web {

struct ListenAddress {
  std::string host;  // without brackets: "127.0.0.1", "::1", "0.0.0.0"
  int port = 0;      // 0: any free port
};

// "127.0.0.1:8023", "[::1]:0", "localhost:8023"; nothing when malformed.
std::optional<ListenAddress> parseListenAddress(const std::string& text);

// Whether only this machine can reach the address.
bool isLoopback(const std::string& host);

// The host as it appears in a URL or a Host header: IPv6 in brackets.
std::string urlHost(const std::string& host);

}  // namespace korvex::web
