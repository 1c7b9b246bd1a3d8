// The service's own log: one line per event on standard error.
#pragma once

#include <string>
#include <string_view>

namespace korvexd {

// Writes one line, prefixed with the local time. The whole line goes out in a
// single write(2), so lines from concurrent connections never interleave.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Client bytes made safe for a log line: control and non-ASCII bytes become
// \xNN, so a crafted path cannot forge lines; long text is cut with "...".
std::string printable(std::string_view text, std::size_t limit = 160);

// Thread-safe text for an errno value.
const char* errorText(int error);

}  // namespace korvexd
