// Who may use the web server: a page on this machine that was given the
// token, reached under the address the server listens on. Pure text, so
// every rule is checked the same way for every route.
#pragma once

#include <string>
#include <string_view>

#include "listen_address.h"

namespace korvex::web {

// The cookie that carries the token after the first visit.
inline constexpr std::string_view kTokenCookie = "korvex_token";
// Requests that change anything carry this header: a cross-site form cannot
// set it, and a cross-site script cannot send it without a CORS preflight,
// which the server never grants.
inline constexpr std::string_view kChangeHeader = "X-Korvex";

// A fresh random token (64 hex digits).
std::string randomToken();

struct AccessRequest {
  std::string_view method;
  std::string_view host;          // the Host header
  std::string_view cookies;       // the Cookie header
  std::string_view tokenParam;    // ?token=
  bool hasTokenParam = false;
  bool hasChangeHeader = false;
};

enum class Access {
  allow,
  setCookie,        // a valid ?token=: set the cookie, redirect to the URL without it
  wrongHost,        // DNS rebinding or a stray name: 403
  noToken,          // no valid token in the cookie or the URL: 403
  noChangeHeader,   // a change without kChangeHeader: 403
};

class AccessGuard {
 public:
  AccessGuard(std::string token, ListenAddress listening) : token_(std::move(token)), listening_(std::move(listening)) {}

  Access check(const AccessRequest& request) const;
  const std::string& token() const { return token_; }
  // The Set-Cookie value for the token: HttpOnly, SameSite=Strict.
  std::string cookie() const;
  // Whether a Host header names the listening address (the port is the
  // real one, once bound).
  bool hostAllowed(std::string_view host) const;
  void setPort(int port) { listening_.port = port; }

 private:
  bool tokenMatches(std::string_view given) const;

  std::string token_;
  ListenAddress listening_;
};

}  // namespace korvex::web
