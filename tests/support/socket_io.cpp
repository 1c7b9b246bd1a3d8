// The parts of the loopback socket layer that need no system call.
#include <cstdint>

#include "socket_io.h"

namespace korvex::test::loopback {

bool sendAll(Socket socket, const void* data, std::size_t size) {
  const auto* at = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const IoResult sent = sendSome(socket, at, size, true);
    if (sent.status != Io::Done) return false;
    at += sent.count;
    size -= sent.count;
  }
  return true;
}

bool receiveAll(Socket socket, void* data, std::size_t size) {
  auto* at = static_cast<std::uint8_t*>(data);
  while (size > 0) {
    const IoResult got = receiveSome(socket, at, size);
    if (got.status != Io::Done) return false;
    at += got.count;
    size -= got.count;
  }
  return true;
}

}  // namespace korvex::test::loopback
