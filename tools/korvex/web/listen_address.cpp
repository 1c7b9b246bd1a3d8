#include "listen_address.h"

#include <charconv>

namespace korvex::web {

std::optional<ListenAddress> parseListenAddress(const std::string& text) {
  ListenAddress address;
  std::string port;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find("]:");
    if (close == std::string::npos || close == 1) return std::nullopt;
    address.host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || text.find(':') != colon) return std::nullopt;
    address.host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  const char* end = port.data() + port.size();
  const auto [stop, error] = std::from_chars(port.data(), end, address.port);
  if (port.empty() || error != std::errc() || stop != end || address.port < 0 || address.port > 65535) {
    return std::nullopt;
  }
  return address;
}

bool isLoopback(const std::string& host) {
  return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

std::string urlHost(const std::string& host) {
  return host.find(':') == std::string::npos ? host : "[" + host + "]";
}

}  // namespace korvex::web
