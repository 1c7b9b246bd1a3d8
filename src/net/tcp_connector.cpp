#include "net/tcp_connector.h"

#include "net/host_address.h"
#include "runtime/log.h"
#include "runtime/platform.h"

namespace korvex {

void TcpConnector::setTarget(const std::string& host, int port, bool blocking) {
  host_ = host;
  port_ = port;
  blocking_ = blocking;
}

bool TcpConnector::connect() {
  if (connection_.live()) {
    logPrint(DEBUG, "connection is alive");
    return false;
  }
  const sys::SocketHandle socket = sys::createTcpSocket();
  if (socket == sys::kNoSocket) {
    const int error = sys::lastSocketError();
    logPrint(ERR, "Failed to create socket when connect to fserver %s, reason %s\n", host_.c_str(),
             sys::socketErrorText(error).c_str());
    return false;
  }
  HostAddress address(host_, port_);
  address.resolve();
  if (!address.resolved()) {
    logPrint(ERR, "addr err");
    sys::closeSocket(socket);
    return false;
  }
  const sys::Ipv4Endpoint peer{address.address(), address.port()};
  if (!sys::connectTo(socket, peer)) {
    const int error = sys::lastSocketError();
    sys::closeSocket(socket);
    logPrint(ERR, "Failed to connect to server %s, reason %s\n", host_.c_str(),
             sys::socketErrorText(error).c_str());
    return false;
  }
  // Without it the last, short piece of a request waits for the peer's
  // delayed acknowledgement; a failure only costs that delay.
  sys::setNoDelay(socket);
  connection_.adopt(socket, blocking_);
  return true;
}

}  // namespace korvex
