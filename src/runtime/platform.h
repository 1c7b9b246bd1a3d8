// Process, thread, clock and error-text services of the host system.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace korvex::platform {

int processId();
int threadId();

struct WallTime {
  std::int64_t seconds;  // since 1970-01-01 UTC
  int milliseconds;
};
WallTime wallClock();

// "%m-%d %H:%M:%S" in local time.
std::string localTimeStamp(std::int64_t seconds);

// Opens an existing regular file for reading. Anything else (a directory, a
// FIFO, a device) is refused, and the check never blocks: a FIFO with no
// writer must not hold the caller in its open. Null on failure.
std::FILE* openRegularFileForReading(const std::string& path);

// The system's text for an error number; thread-safe.
std::string errorText(int errnum);
int lastError();

}  // namespace korvex::platform
