#include "net/host_address.h"

#include <cstdlib>

#include "net/socket.h"
#include "runtime/log.h"

namespace korvex {
namespace {

// One part of a dotted quad: strtoul's reading, the separator after it, and
// its range. Parts after the first must not start with NUL or a blank.
bool readPart(const char*& at, char separator, unsigned long low, bool checkStart,
              std::uint8_t& value) {
  if (checkStart && (*at == '\0' || *at == ' ' || *at == '\t')) return false;
  char* end = nullptr;
  const unsigned long n = std::strtoul(at, &end, 10);
  if (*end != separator || n < low || n > 255) return false;
  value = static_cast<std::uint8_t>(n);
  at = separator ? end + 1 : end;
  return true;
}

}  // namespace

bool isDottedQuad(const std::string& text, std::array<std::uint8_t, 4>* out) {
  if (text.empty() || text[0] == ' ' || text[0] == '\t') return false;
  std::array<std::uint8_t, 4> parts{};
  const char* at = text.c_str();
  if (!readPart(at, '.', 1, false, parts[0]) || !readPart(at, '.', 0, true, parts[1]) ||
      !readPart(at, '.', 0, true, parts[2]) || !readPart(at, '\0', 1, true, parts[3])) {
    return false;
  }
  if (out) *out = parts;
  return true;
}

HostAddress::HostAddress(const std::string& text, int port)
    : port_(static_cast<std::uint16_t>(port & 0xFFFF)) {
  parse(text);
}

void HostAddress::parse(const std::string& text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) {
    host_ = text;
  } else {
    host_ = text.substr(0, colon);
    const int n = std::atoi(text.c_str() + colon + 1);
    if (n != 0) {
      port_ = static_cast<std::uint16_t>(n & 0xFFFF);
    } else {
      logPrint(ERR, "Incorrect Port");
    }
  }
  resolved_ = false;
}

void HostAddress::resolve() {
  if (resolved_) return;
  if (isDottedQuad(host_, &address_)) {
    resolved_ = true;
    return;
  }
  if (!sys::resolveIpv4(host_, address_)) {
    logPrint(ERR, "gethostbyname error");
    return;
  }
  resolved_ = true;
}

}  // namespace korvex
