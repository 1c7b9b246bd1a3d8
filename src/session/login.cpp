#include "session/login.h"

#include <atomic>

#include "net/tcp_connector.h"
#include "session/exchange.h"
#include "protocol.h"

namespace korvex {

using namespace protocol;

namespace {

std::atomic<int> exchangeTimeoutForTesting{0};

}  // namespace

void setExchangeTimeoutForTesting(int ms) { exchangeTimeoutForTesting.store(ms > 0 ? ms : 0); }

OpenResult openLoggedIn(const std::string& address, std::uint16_t port, const std::string& password,
                        Connection& connection, std::string& deviceName,
                        const std::function<bool()>& beforeLogin) {
  {
    TcpConnector connector(true);
    connector.setTarget(address, port, true);
    if (!connector.connect()) return OpenResult::ConnectFailed;
    // The connector's share goes with this scope, so a closer's close() is
    // the last share and wakes a pending wait at once.
    connection = connector.connection();
  }
  if (beforeLogin && !beforeLogin()) return OpenResult::Cancelled;
  const int shortened = exchangeTimeoutForTesting.load();
  connection.setTimeout(shortened > 0 ? shortened : IO_TIMEOUT_MS);
  return login(connection, password, deviceName) ? OpenResult::Ready : OpenResult::LoginFailed;
}

bool login(Connection& connection, const std::string& password, std::string& deviceName) {
  if (password.size() > MAX_PASSWORD_LENGTH) return false;
  Exchange exchange(connection);
  const PasswordBlock block = encodePassword(password);
  if (!exchange.write(block.data(), PASSWORD_BLOCK_SIZE)) return false;
  std::array<std::uint8_t, LOGIN_REPLY_SIZE> reply{};
  if (exchange.read(reply.data(), LOGIN_REPLY_SIZE) != Connection::Complete) return false;
  DeviceNameBlock name{};
  if (exchange.read(name.data(), DEVICE_NAME_SIZE) != Connection::Complete) return false;
  deviceName = fieldText(name.data(), name.size());
  return true;
}

}  // namespace korvex
