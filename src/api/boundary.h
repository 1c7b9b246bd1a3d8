// Helpers shared by the exported functions: the exception boundary and the
// trace lines.
#pragma once

#include <cstdint>
#include <utility>

#include "runtime/log.h"
#include "runtime/platform.h"

namespace korvex::api {

// Runs an export's body; any exception, memory exhaustion included, becomes
// the export's failure result instead of crossing into the host.
template <typename Result, typename Body>
Result guarded(Result onFailure, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    return onFailure;
  }
}

template <typename Body>
void guardedVoid(Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
  } catch (...) {
  }
}

// Handles print as 32-bit numbers, as the log format has always shown them.
inline int handleNumber(const void* handle) {
  return static_cast<int>(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle)));
}

inline unsigned handleUnsigned(const void* handle) {
  return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(handle));
}

// The DEBUG line an export writes first: "[pid-tid-handle]...".
template <typename... Args>
void trace(const char* format, const void* handle, Args... args) {
  if (!logWouldWrite(DEBUG)) return;
  logPrint(DEBUG, format, platform::processId(), platform::threadId(), handleNumber(handle), args...);
}

}  // namespace korvex::api
