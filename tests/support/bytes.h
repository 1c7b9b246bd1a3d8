// Byte strings for building and checking what goes over the wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace korvex::test {

using Bytes = std::vector<std::uint8_t>;

Bytes zeros(std::size_t n);
Bytes concat(std::initializer_list<Bytes> parts);
Bytes word(std::uint32_t value);
Bytes reply(std::int32_t status, std::uint32_t value = 0);
Bytes pathField(std::string_view path, std::size_t size = 1024);
Bytes text(std::string_view s);
// The service's answer to a good password: 40 zero bytes, then the device name block.
Bytes loginAnswer(std::string_view deviceName);

// `size` bytes of a fixed pseudo-random pattern, so shifted data shows; the
// same pattern in either type.
Bytes patternBytes(std::size_t size, unsigned seed = 1);
std::string patterned(std::size_t size, unsigned seed = 1);

}  // namespace korvex::test
