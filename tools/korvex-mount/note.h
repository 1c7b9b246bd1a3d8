// One line per event on standard error (or the --log file): connections
// lost and regained, copies that failed, what could not be cleaned up.
// Errors are what lost or kept back the user's data, marked "error:".
#pragma once

#include <string>
#include <string_view>

namespace korvex::mount {

// Sends the lines to `logFile` from now on (kept on standard error when
// empty), and the library's log there too when `libraryLog`: 0, or the exit
// status after saying why the file cannot be opened.
int startLog(const std::string& logFile, bool libraryLog, unsigned libraryLevel);

void note(const char* format, ...) __attribute__((format(printf, 1, 2)));
void noteError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A name from the phone as it may be shown: control bytes, bytes from 0x80
// and '\' as three-digit octal escapes ("\033"), so a log read on a terminal
// never carries the phone's bytes raw.
std::string escapedName(std::string_view name);

}  // namespace korvex::mount
