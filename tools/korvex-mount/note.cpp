#include "note.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "exit_status.h"
#include "korvex.hpp"

namespace korvex::mount {
namespace {

std::FILE* noteOutput = stderr;

void writeNote(const char* level, const char* format, va_list args) {
  char line[3200];
  std::vsnprintf(line, sizeof line, format, args);
  std::fprintf(noteOutput, "korvex-mount: %s%s\n", level, line);
  std::fflush(noteOutput);
}

}  // namespace

int startLog(const std::string& logFile, bool libraryLog, unsigned libraryLevel) {
  if (!logFile.empty()) {
    std::FILE* opened = std::fopen(logFile.c_str(), "a");
    if (!opened) return fail(kLocalFile, "--log: " + logFile + ": " + std::strerror(errno));
    noteOutput = opened;
  }
  if (libraryLog) korvex::enable_log(libraryLevel, logFile);
  return 0;
}

void note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  writeNote("", format, args);
  va_end(args);
}

void noteError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  writeNote("error: ", format, args);
  va_end(args);
}

std::string escapedName(std::string_view name) {
  std::string shown;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F || c == '\\') {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\%03o", byte);
      shown += escape;
    } else {
      shown += c;
    }
  }
  return shown;
}

}  // namespace korvex::mount
