// One line per event on standard error (or the --log file): connections
// lost and regained, copies that failed, what could not be cleaned up.
#pragma once

namespace korvex::mount {

void note(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace korvex::mount
