#include <netdb.h>
#include <sys/socket.h>

#include "host_lookup.h"

namespace korvex::cli {

std::optional<std::string> hostLookupFailure(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;  // the library connects over IPv4
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int error = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (found) freeaddrinfo(found);
  if (error == 0 || error == EAI_SYSTEM || error == EAI_MEMORY) return std::nullopt;
  return std::string(gai_strerror(error));
}

}  // namespace korvex::cli
