// Process, thread, clock and error-text services on Windows.
#include <windows.h>

#include <sys/timeb.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "runtime/platform.h"

namespace korvex::platform {

int processId() { return static_cast<int>(GetCurrentProcessId()); }

int threadId() { return static_cast<int>(GetCurrentThreadId()); }

WallTime wallClock() {
  __timeb64 now{};
  _ftime64_s(&now);
  return {static_cast<std::int64_t>(now.time), static_cast<int>(now.millitm)};
}

std::string localTimeStamp(std::int64_t seconds) {
  const __time64_t t = static_cast<__time64_t>(seconds);
  tm local{};
  _localtime64_s(&local, &t);
  char text[64];
  const size_t n = strftime(text, sizeof text, "%m-%d %H:%M:%S", &local);
  return std::string(text, n);
}

void* mapPages(std::size_t bytes) { return VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE); }

void unmapPages(void* block, std::size_t) {
  if (block) VirtualFree(block, 0, MEM_RELEASE);
}

std::string errorText(int errnum) {
  char buffer[256];
  if (strerror_s(buffer, sizeof buffer, errnum) != 0) return "unknown error";
  return buffer;
}

int lastError() { return errno; }

}  // namespace korvex::platform
