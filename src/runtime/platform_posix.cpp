#include "runtime/platform.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace korvex::platform {

int processId() { return static_cast<int>(getpid()); }

int threadId() { return static_cast<int>(syscall(SYS_gettid)); }

WallTime wallClock() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return {static_cast<std::int64_t>(ts.tv_sec), static_cast<int>(ts.tv_nsec / 1000000)};
}

std::string localTimeStamp(std::int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  tm local{};
  localtime_r(&t, &local);
  char text[64];
  const size_t n = strftime(text, sizeof text, "%m-%d %H:%M:%S", &local);
  return std::string(text, n);
}

void* mapPages(std::size_t bytes) {
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return block == MAP_FAILED ? nullptr : block;
}

void unmapPages(void* block, std::size_t bytes) {
  if (block) munmap(block, bytes);
}

std::string errorText(int errnum) {
  char buffer[256];
  // The GNU variant may return a static string instead of filling the buffer.
  const char* text = strerror_r(errnum, buffer, sizeof buffer);
  return text ? text : "unknown error";
}

int lastError() { return errno; }

}  // namespace korvex::platform
