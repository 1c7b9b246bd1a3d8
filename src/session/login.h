// Opening a logged-in connection to the service: the TCP connect, then the
// handshake. Used by the session and by every background copy.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "net/connection.h"

namespace korvex {

enum class OpenResult { Ready, ConnectFailed, LoginFailed, Cancelled };

// Connects `connection` to address:port, sets the exchange time-out and logs
// in. `beforeLogin` runs once the socket is connected; returning false stops
// there (Cancelled), with the connection still open for the caller to drop.
// A background copy publishes its connection there, so a cancel can close it
// during the handshake.
OpenResult openLoggedIn(const std::string& address, std::uint16_t port, const std::string& password,
                        Connection& connection, std::string& deviceName,
                        const std::function<bool()>& beforeLogin = {});

// The longest each wait of an exchange lasts on connections opened from now
// on: IO_TIMEOUT_MS. Tests shorten it so that a stall costs milliseconds;
// 0 restores the constant.
void setExchangeTimeoutForTesting(int ms);

// Sends the password block and reads the 40-byte reply and the device name.
// A password too long for its block is refused before anything is sent.
bool login(Connection& connection, const std::string& password, std::string& deviceName);

}  // namespace korvex
