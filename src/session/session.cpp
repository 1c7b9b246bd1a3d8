#include "session/session.h"

#include <cstring>

#include "net/tcp_connector.h"
#include "session/login.h"
#include "session/protocol.h"

namespace korvex {

bool ClientThread::open(const std::string& addressText, const std::string& passwordText,
                        std::uint16_t servicePort, int* error) {
  if (error) *error = 0;
  TcpConnector connector(true);
  connector.setTarget(addressText, servicePort, true);
  if (!connector.connect()) {
    if (error) *error = 1;
    return false;
  }
  {
    // Nobody else can hold the lock yet; taking it states who owns the
    // connection from here on.
    LockHelper lock(commandLock);
    connection = connector.connection();
    connector.close();
    connection.setTimeout(protocol::IO_TIMEOUT_MS);
    if (!login(connection, passwordText, deviceName)) {
      if (error) *error = 2;
      connection.close();
      connected.store(false);
      return false;
    }
  }
  address = addressText;
  password = passwordText;
  port = servicePort;
  connected.store(true);
  run(0);
  return true;
}

void ClientThread::getState(char* connectedOut, char* addressOut, char* nameOut) const {
  *connectedOut = connected.load() ? 1 : 0;
  std::memcpy(nameOut, deviceName.c_str(), deviceName.size() + 1);
  std::memcpy(addressOut, address.c_str(), address.size() + 1);
}

}  // namespace korvex
