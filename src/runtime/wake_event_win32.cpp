#include "runtime/wake_event.h"

#include <windows.h>

namespace korvex {

// A manual-reset event: once set, every wait on it returns at once.
WakeEvent::WakeEvent()
    : handle_(reinterpret_cast<std::intptr_t>(::CreateEventW(nullptr, TRUE, FALSE, nullptr))) {}

WakeEvent::~WakeEvent() {
  if (handle_) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

void WakeEvent::signal() {
  signalled_.store(1);
  if (handle_) ::SetEvent(reinterpret_cast<HANDLE>(handle_));
}

bool WakeEvent::waitFor(int ms) {
  // A relative time-out: it does not move with the system clock.
  if (!handle_) {
    // No event could be made: the pause still runs its time.
    ::Sleep(static_cast<DWORD>(ms));
    return signalled_.load() != 0;
  }
  return ::WaitForSingleObject(reinterpret_cast<HANDLE>(handle_), static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
}

}  // namespace korvex
