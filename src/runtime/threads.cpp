// The platform-neutral half of the thread wrappers; the system calls are in
// threads_posix.cpp and threads_win32.cpp.
#include "runtime/threads.h"

#include "runtime/platform.h"

namespace korvex {
namespace {

constexpr std::int64_t kMicrosPerSecond = 1000000;

}  // namespace

TimeVal& TimeVal::now() {
  const platform::WallTime wall = platform::wallClock();
  seconds_ = wall.seconds;
  micros_ = static_cast<std::int64_t>(wall.milliseconds) * 1000;
  return *this;
}

TimeVal& TimeVal::monotonicNow() {
  const std::int64_t micros = platform::monotonicMicros();
  seconds_ = micros / kMicrosPerSecond;
  micros_ = micros % kMicrosPerSecond;
  return *this;
}

TimeVal& TimeVal::add(const TimeVal& other) {
  seconds_ += other.seconds_;
  micros_ += other.micros_;
  return normalize();
}

TimeVal& TimeVal::normalize() {
  if (micros_ < 0) {
    const std::int64_t q = micros_ / kMicrosPerSecond;  // truncated toward zero
    seconds_ += q - 1;
    micros_ = micros_ - q * kMicrosPerSecond + kMicrosPerSecond;
  }
  if (micros_ >= kMicrosPerSecond) {
    seconds_ += micros_ / kMicrosPerSecond;
    micros_ %= kMicrosPerSecond;
  }
  return *this;
}

int VCondition::waitMicros(PlainMutex& mutex, std::int64_t micros) {
  if (micros < 0) return waitUntimed(mutex);
  TimeVal deadline;
  deadline.monotonicNow().add(TimeVal(0, micros));
  return waitUntil(mutex, deadline);
}

int VCondition::waitMs(PlainMutex& mutex, int ms) {
  return waitMicros(mutex, ms >= 1 ? static_cast<std::int64_t>(ms) * 1000 : ms);
}

std::optional<int> schedulingPriorityForClass(int priorityClass) {
  switch (priorityClass & 0xF) {
    case 1: return 0;
    case 2: return 1;
    case 4: return 2;
    default: return std::nullopt;
  }
}

bool ThreadIf::run(int) {
  shutdown_.store(false);
  // Held until the handle is recorded: the new thread may release itself at once.
  LockHelper lock(handleLock_);
  joining_ = false;
  return handle_.spawn(&ThreadIf::start, this, 1);
}

int ThreadIf::join() {
  {
    LockHelper lock(handleLock_);
    if (!handle_.started()) return 0;
    joining_ = true;
  }
  // Outside the lock: the thread may be about to take it in releaseSelf.
  return handle_.join();
}

void ThreadIf::releaseSelf() {
  LockHelper lock(handleLock_);
  if (!joining_) handle_.detach();
}

int ThreadIf::cancel() { return handle_.cancel(); }

ThreadId ThreadIf::getId() const { return handle_.getId(); }

void ThreadIf::shutdown() { shutdown_.store(true); }

void* ThreadIf::start(void* self) {
  static_cast<ThreadIf*>(self)->thread();
  return nullptr;
}

}  // namespace korvex
