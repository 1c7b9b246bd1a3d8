// The process-wide levelled log. Nothing is written until enableLog.
#pragma once

#include <cstddef>

namespace korvex {

enum LogLevel : int {
  EMERG = 0,
  ALERT = 1,
  CRIT = 2,
  ERR = 3,
  WARNING = 4,
  NOTICE = 5,
  INFO = 6,
  DEBUG = 7,
  DEBUG_STACK = 8,
};

void logPrint(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Longest log file path enableLog accepts, in bytes.
constexpr std::size_t kMaxLogPathLength = 255;

// Body of the EnableLog export: 1 when a log file was opened, 0 otherwise.
int enableLog(bool enable, unsigned level, const char* path);

}  // namespace korvex

namespace korvex {

// Whether a line at `level` would be written now; lets callers skip
// gathering arguments for a line that logPrint would drop.
bool logWouldWrite(int level);

}  // namespace korvex
