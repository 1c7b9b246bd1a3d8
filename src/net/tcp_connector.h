// Creates a socket and connects it to "host[:port]".
#pragma once

#include <string>

#include "net/connection.h"

namespace korvex {

class TcpConnector {
 public:
  explicit TcpConnector(bool blocking) : blocking_(blocking) {}
  ~TcpConnector() { close(); }
  TcpConnector(const TcpConnector&) = delete;
  TcpConnector& operator=(const TcpConnector&) = delete;

  void setTarget(const std::string& host, int port, bool blocking);
  bool connect();
  void close() { connection_.close(); }

  Connection& connection() { return connection_; }

 private:
  Connection connection_;
  std::string host_;
  int port_ = -1;
  bool blocking_;
};

}  // namespace korvex
