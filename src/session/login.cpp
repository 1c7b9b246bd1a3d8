#include "session/login.h"

#include "session/protocol.h"

namespace korvex {

using namespace protocol;

bool login(Connection& connection, const std::string& password, std::string& deviceName) {
  if (password.size() > MAX_PASSWORD_LENGTH) return false;
  const PasswordBlock block = encodePassword(password);
  if (connection.writeAll(block.data(), PASSWORD_BLOCK_SIZE) != PASSWORD_BLOCK_SIZE) return false;

  std::array<std::uint8_t, LOGIN_REPLY_SIZE> reply{};
  int got = 0;
  connection.readExactly(reply.data(), LOGIN_REPLY_SIZE, &got);
  if (got != LOGIN_REPLY_SIZE) return false;

  DeviceNameBlock name{};
  got = 0;
  connection.readExactly(name.data(), DEVICE_NAME_SIZE, &got);
  if (got != DEVICE_NAME_SIZE) return false;

  deviceName = fieldText(name.data(), name.size());
  return true;
}

}  // namespace korvex
