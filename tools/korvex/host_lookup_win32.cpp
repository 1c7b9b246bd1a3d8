#include <winsock2.h>
#include <ws2tcpip.h>

#include "host_lookup.h"

namespace korvex::cli {

std::optional<std::string> hostLookupFailure(const std::string& host) {
  // Counted by Winsock; the library has started it already and never ends it.
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return std::nullopt;
  addrinfo hints{};
  hints.ai_family = AF_INET;  // the library connects over IPv4
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int error = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (found) freeaddrinfo(found);
  WSACleanup();
  if (error == 0 || error == WSA_NOT_ENOUGH_MEMORY) return std::nullopt;
  return std::string(gai_strerrorA(error));
}

}  // namespace korvex::cli
