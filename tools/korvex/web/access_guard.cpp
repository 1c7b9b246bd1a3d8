#include "access_guard.h"

#include <random>

namespace korvex::web {

namespace {

// The value of cookie `name` in a Cookie header, or nothing.
std::string_view cookieValue(std::string_view cookies, std::string_view name) {
  while (!cookies.empty()) {
    const std::size_t end = cookies.find(';');
    std::string_view pair = cookies.substr(0, end);
    cookies = end == std::string_view::npos ? std::string_view() : cookies.substr(end + 1);
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    const std::size_t equals = pair.find('=');
    if (equals != std::string_view::npos && pair.substr(0, equals) == name) return pair.substr(equals + 1);
  }
  return {};
}

// An IP literal: digits and dots, or a bracketed IPv6 address. A DNS name
// is what a rebinding attack needs, so a wildcard listener accepts only
// these (and localhost).
bool isAddressLiteral(std::string_view host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    return host.find_first_not_of("0123456789abcdefABCDEF:.", 1) == host.size() - 1;
  }
  return !host.empty() && host.find_first_not_of("0123456789.") == std::string_view::npos;
}

}  // namespace

std::string randomToken() {
  std::random_device source;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string token;
  for (int i = 0; i < 16; ++i) {
    const unsigned word = source();
    for (int shift = 0; shift < 16; shift += 4) token += kDigits[(word >> shift) & 0xF];
  }
  return token;
}

std::string AccessGuard::cookie() const {
  return std::string(kTokenCookie) + "=" + token_ + "; Path=/; HttpOnly; SameSite=Strict";
}

bool AccessGuard::tokenMatches(std::string_view given) const {
  // Compared in constant time: the answer says nothing of a near miss.
  if (given.size() != token_.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < given.size(); ++i) difference |= static_cast<unsigned char>(given[i] ^ token_[i]);
  return difference == 0;
}

bool AccessGuard::hostAllowed(std::string_view host) const {
  const std::size_t colon = host.rfind(':');
  if (colon == std::string_view::npos || host.substr(colon + 1) != std::to_string(listening_.port)) return false;
  const std::string_view name = host.substr(0, colon);
  if (name == urlHost(listening_.host)) return true;
  const bool wildcard = listening_.host == "0.0.0.0" || listening_.host == "::";
  if (wildcard) return name == "localhost" || isAddressLiteral(name);
  if (!isLoopback(listening_.host)) return false;
  return name == "localhost" || name == "127.0.0.1" || name == "[::1]";
}

Access AccessGuard::check(const AccessRequest& request) const {
  if (!hostAllowed(request.host)) return Access::wrongHost;
  if (request.hasTokenParam) {
    // Only a page load brings the token in its URL; never a change.
    if (request.method != "GET" || !tokenMatches(request.tokenParam)) return Access::noToken;
    return Access::setCookie;
  }
  if (!tokenMatches(cookieValue(request.cookies, kTokenCookie))) return Access::noToken;
  const bool reads = request.method == "GET" || request.method == "HEAD";
  if (!reads && !request.hasChangeHeader) return Access::noChangeHeader;
  return Access::allow;
}

}  // namespace korvex::web
