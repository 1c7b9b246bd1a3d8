#include "bytes.h"

#include <algorithm>
#include <cstring>

#include "protocol.h"

namespace korvex::test {

Bytes zeros(std::size_t n) { return Bytes(n, 0); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes word(std::uint32_t value) {
  Bytes bytes(4);
  protocol::putWord(bytes.data(), value);
  return bytes;
}

Bytes reply(std::int32_t status, std::uint32_t value) {
  const auto encoded = protocol::encodeReply(status, value);
  return Bytes(encoded.begin(), encoded.end());
}

Bytes pathField(std::string_view path, std::size_t size) {
  Bytes field(size, 0);
  std::memcpy(field.data(), path.data(), std::min(path.size(), size));
  return field;
}

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes loginAnswer(std::string_view deviceName) {
  const auto name = protocol::encodeDeviceName(deviceName);
  return concat({zeros(protocol::LOGIN_REPLY_SIZE), Bytes(name.begin(), name.end())});
}

std::string patterned(std::size_t size, unsigned seed) {
  std::string data(size, '\0');
  std::uint32_t state = seed * 2654435761u + 1;
  for (char& c : data) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 16);
  }
  return data;
}

Bytes patternBytes(std::size_t size, unsigned seed) {
  const std::string data = patterned(size, seed);
  return Bytes(data.begin(), data.end());
}

}  // namespace korvex::test
