// "host[:port]" text, split and resolved to one IPv4 address.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace korvex {

// Strict dotted-quad check; text that fails it goes to the name lookup.
bool isDottedQuad(const std::string& text, std::array<std::uint8_t, 4>* out);

class HostAddress {
 public:
  HostAddress(const std::string& text, int port);

  void parse(const std::string& text);
  void resolve();

  std::uint16_t port() const { return port_; }
  bool resolved() const { return resolved_; }
  const std::string& host() const { return host_; }
  const std::array<std::uint8_t, 4>& address() const { return address_; }

 private:
  std::array<std::uint8_t, 4> address_{};
  std::uint16_t port_;
  std::string host_;
  bool resolved_ = false;
};

}  // namespace korvex
