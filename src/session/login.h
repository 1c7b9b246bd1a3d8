// The handshake that opens every connection to the service.
#pragma once

#include <string>

#include "net/connection.h"

namespace korvex {

// Sends the password block and reads the 40-byte reply and the device name.
// A password too long for its block is refused before anything is sent.
bool login(Connection& connection, const std::string& password, std::string& deviceName);

}  // namespace korvex
