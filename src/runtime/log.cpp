#include "runtime/log.h"

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "runtime/immortal.h"
#include "runtime/mutex.h"
#include "runtime/platform.h"

namespace korvex {
namespace {

constexpr std::array<const char*, 9> kLabels = {"EMRG", "ALRT", "CRIT", "ERR ", "WARN",
                                                "NOTC", "INFO", "DBUG", "DSTK"};

// One complete line at a time. Constant-initialised and never destroyed, so
// a line is safe from the first static constructor to the last thread that
// outlives the host's exit.
constinit Immortal<PlainMutex> logLock;
constinit PlainMutex& logMutex = logLock.value;

// Where lines go; null stands for standard error, which is no constant, so
// the pointer needs no code at load.
constinit std::FILE* logFile GUARDED_BY(logMutex) = nullptr;

std::atomic<bool> enabled{false};
std::atomic<int> threshold{ERR};

const char* label(int level) {
  return level >= 0 && level < static_cast<int>(kLabels.size()) ? kLabels[level] : "????";
}

std::FILE* outputLocked() REQUIRES(logMutex) { return logFile != nullptr ? logFile : stderr; }

// Standard error (null) is never closed; a replaced file is, so no stream is
// leaked and a closed one is never written again.
void replaceOutputLocked(std::FILE* next) REQUIRES(logMutex) {
  if (logFile != nullptr && logFile != next) std::fclose(logFile);
  logFile = next;
}

}  // namespace

void logPrint(int level, const char* format, ...) {
  if (!enabled.load(std::memory_order_relaxed)) return;
  LockHelper lock(logMutex);
  // Checked again under the lock: a caller that passed the first check while
  // enableLog(false) ran must not write once that call has returned.
  if (!enabled.load(std::memory_order_relaxed) || level > threshold.load(std::memory_order_relaxed)) return;

  const platform::WallTime now = platform::wallClock();
  const std::string stamp = platform::localTimeStamp(now.seconds);
  std::FILE* const output = outputLocked();
  std::fprintf(output, "[%s.%3.3d] %s: [%d-%d]", stamp.c_str(), now.milliseconds, label(level),
               platform::processId(), platform::threadId());
  va_list args;
  va_start(args, format);
  std::vfprintf(output, format, args);
  va_end(args);
  std::fputc('\n', output);
  std::fflush(output);
}

int enableLog(bool enable, unsigned level, const char* path) {
  // The threshold is stored once, so no line is judged by a passing value.
  threshold.store(enable && level <= DEBUG_STACK ? static_cast<int>(level) : DEBUG);
  enabled.store(enable);
  if (!enable) {
    LockHelper lock(logMutex);
    replaceOutputLocked(nullptr);
    return 0;
  }
  if (path == nullptr) return 0;

  // A path longer than the log has always kept is refused rather than cut,
  // so the log never lands in a file the host did not name.
  if (strnlen(path, kMaxLogPathLength + 1) > kMaxLogPathLength) return 0;

  FILE* file = std::fopen(path, "a+");
  if (file == nullptr) {
    const int error = platform::lastError();
    std::printf("cpLog: Cannot open log file %s:  %s\n", path, platform::errorText(error).c_str());
    std::fflush(stdout);
    LockHelper lock(logMutex);
    replaceOutputLocked(nullptr);
    return 0;
  }
  std::fseek(file, 0, SEEK_END);
  {
    LockHelper lock(logMutex);
    replaceOutputLocked(file);
  }
  logPrint(INFO, "Opened new log file - %s", path);
  return 1;
}

}  // namespace korvex

namespace korvex {

bool logWouldWrite(int level) {
  return enabled.load(std::memory_order_relaxed) && level <= threshold.load(std::memory_order_relaxed);
}

}  // namespace korvex
