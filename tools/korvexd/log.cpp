#include "log.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace korvexd {

void logLine(const char* format, ...) {
  char line[1024];
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  int used = static_cast<int>(strftime(line, sizeof line, "%Y-%m-%d %H:%M:%S", &local));
  used += std::snprintf(line + used, sizeof line - used, ".%03ld korvexd: ", now.tv_nsec / 1000000);

  va_list args;
  va_start(args, format);
  int body = std::vsnprintf(line + used, sizeof line - used, format, args);
  va_end(args);
  if (body < 0) body = 0;
  used = std::min<int>(used + body, sizeof line - 1);  // vsnprintf truncated
  line[used++] = '\n';

  const char* at = line;
  while (used > 0) {
    ssize_t n = ::write(STDERR_FILENO, at, used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere to report a broken log
    at += n;
    used -= static_cast<int>(n);
  }
}

std::string printable(std::string_view text, std::size_t limit) {
  std::string out;
  bool cut = text.size() > limit;
  if (cut) text = text.substr(0, limit);
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    }
  }
  if (cut) out += "...";
  return out;
}

const char* errorText(int error) {
  const char* text = strerrordesc_np(error);
  return text ? text : "unknown error";
}

}  // namespace korvexd
