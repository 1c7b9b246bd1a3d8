// The keep-alive's pause on Linux: a futex on the signalled word.
#include "runtime/wake_event.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace korvex {
namespace {

// A futex wait needs no descriptor, so a thousand sessions cost no more
// descriptors than their sockets; its relative time-out runs on the
// monotonic clock.
long futex(std::atomic<std::uint32_t>& word, int op, std::uint32_t value, const timespec* timeout) {
  return ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), op, value, timeout, nullptr, 0);
}

}  // namespace

WakeEvent::WakeEvent() = default;

WakeEvent::~WakeEvent() = default;

void WakeEvent::signal() {
  signalled_.store(1);
  futex(signalled_, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
}

bool WakeEvent::waitFor(int ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (auto left = std::chrono::nanoseconds(std::chrono::milliseconds(ms));;) {
    if (signalled_.load() != 0) return true;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const timespec timeout{static_cast<time_t>(seconds.count()), static_cast<long>((left - seconds).count())};
    // Returns at once when the word is no longer 0: a signal between the
    // test above and the wait is not missed.
    if (futex(signalled_, FUTEX_WAIT_PRIVATE, 0, &timeout) != 0 && errno == ETIMEDOUT) {
      return signalled_.load() != 0;
    }
    left = deadline - Clock::now();
    if (left <= std::chrono::nanoseconds::zero()) return signalled_.load() != 0;
  }
}

}  // namespace korvex
