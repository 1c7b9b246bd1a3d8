// "host[:port]" text as a host program passes it to Connect. The host part
// never reaches the resolver here unless it is a dotted quad: a name lookup
// would make every run depend on the network.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/host_address.h"
#include "runtime/log.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The parser's failure line goes through the whole logger.
  korvex::enableLog(true, korvex::ERR, "/dev/null");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const int defaultPort = data[0] | data[1] << 8;
  // A C string from the host: nothing after its NUL exists.
  std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));

  korvex::HostAddress address(text, defaultPort);
  const std::size_t colon = text.find(':');
  check(address.host() == text.substr(0, colon));
  if (colon == std::string::npos) check(address.port() == defaultPort);

  std::array<std::uint8_t, 4> parts{};
  if (!korvex::isDottedQuad(address.host(), &parts)) return 0;
  check(parts[0] != 0 && parts[3] != 0);
  address.resolve();
  check(address.resolved() && address.address() == parts);
  return 0;
}
