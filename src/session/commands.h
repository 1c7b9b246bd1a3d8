// Path and device commands as operations over one exchange. Each says which
// code, which block, which reply and how the outcome maps to its result; the
// session takes the command lock and checks the path lengths first.
#pragma once

#include <cstdint>
#include <string_view>

#include "session/exchange.h"

namespace korvex::commands {

bool rename(Exchange& exchange, std::string_view source, std::string_view dest);
bool deleteFile(Exchange& exchange, std::string_view path);
bool deleteDirectory(Exchange& exchange, std::string_view path, bool recursive);
bool makeDirectory(Exchange& exchange, std::string_view path);
// The size, -1 when refused or cut short, 0 when the code could not be sent.
int fileSize(Exchange& exchange, std::string_view path);
// 1 yes, 0 no, -1 failure. IsDirectory and HasDirectories share CMD_IS_DIR.
int isDirectory(Exchange& exchange, std::string_view path);
int exists(Exchange& exchange, std::string_view path);
// The phone's figure, -1 when cut short, 0 when the code could not be sent.
int spaceSize(Exchange& exchange, std::string_view path);
bool chown(Exchange& exchange, std::string_view path, int owner, int group);
// Shutdown, reboot and restart: a bare code, success when the status is 1.
bool power(Exchange& exchange, std::uint32_t code);
// One keep-alive: any whole reply proves the connection alive.
bool keepAlive(Exchange& exchange);

}  // namespace korvex::commands
