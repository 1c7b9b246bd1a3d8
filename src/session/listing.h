// Directory listings: names joined into one '/'-terminated buffer.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "session/exchange.h"

namespace korvex::listing {

// The trace lines that tell the two listings apart.
struct TraceFormat {
  const char* entry;    // once the command lock is held
  const char* success;  // with the whole buffer
  bool withOutPointer;  // the directory listing also logs where the result goes
};

inline constexpr TraceFormat kFiles{"[%d-%d]GetFiles %s", "[%d-%d] GetFiles return %s", false};
inline constexpr TraceFormat kDirectories{"[%d-%d] GetDirs %s %u", "[%d-%d]GetDirs return %s", true};

// Runs one listing exchange. Returns the length of the joined names, stored
// in a new[] buffer at `out`; 0 when there are none (nothing stored); -1 on
// failure.
int receiveNames(Exchange& exchange, std::uint32_t code, std::string_view path, char** out);

// Reads the rest of a listing whose status-0 header was read: the count,
// then each record, whose name goes to `each` (false stops: out of memory or
// over a bound). False when the records were cut short or refused by
// `each`; the connection is closed then.
bool receiveRecords(Exchange& exchange, const std::function<bool(std::string_view)>& each);

}  // namespace korvex::listing
