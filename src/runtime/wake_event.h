// A pause that another thread can end early: the keep-alive's wait between
// exchanges. Once signalled it stays signalled, so a signal that comes
// before the wait is never missed.
#pragma once

#include <atomic>
#include <cstdint>

namespace korvex {

class WakeEvent {
 public:
  WakeEvent();
  ~WakeEvent();
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;

  // Ends every present and future wait.
  void signal();
  // Waits up to `ms` on the monotonic clock; true when signalled. One system
  // call in the usual case, where the caller's deadline comes first.
  bool waitFor(int ms);

 private:
  std::atomic<std::uint32_t> signalled_{0};
  std::intptr_t handle_ = 0;  // a system object, where the platform needs one
};

}  // namespace korvex
