#include "runtime/threads.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <sched.h>

#include "runtime/log.h"

namespace korvex {
namespace {

constexpr std::int64_t kMicrosPerSecond = 1000000;

}  // namespace

TimeVal& TimeVal::now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  seconds_ = ts.tv_sec;
  micros_ = ts.tv_nsec / 1000000 * 1000;
  return *this;
}

TimeVal& TimeVal::monotonicNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  seconds_ = ts.tv_sec;
  micros_ = ts.tv_nsec / 1000;
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

VCondition::VCondition() {
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&cond_, &attributes);
  pthread_condattr_destroy(&attributes);
}

VCondition::~VCondition() {
  const int result = pthread_cond_destroy(&cond_);
  if (result != 0) logPrint(ERR, "condition was not destroyed: %d", result);
}

int VCondition::broadcast() { return pthread_cond_broadcast(&cond_); }

int VCondition::waitUntil(PlainMutex& mutex, const TimeVal& deadline) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(deadline.seconds());
  ts.tv_nsec = static_cast<long>(deadline.microseconds() * 1000);
  return pthread_cond_timedwait(&cond_, mutex.native(), &ts);
}

int VCondition::waitMicros(PlainMutex& mutex, std::int64_t micros) {
  if (micros < 0) return pthread_cond_wait(&cond_, mutex.native());
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

bool VThread::spawn(Function function, void* argument, int priorityClass) {
  if (pthread_attr_init(&attributes_) != 0) return false;
  if (const auto priority = schedulingPriorityForClass(priorityClass)) {
    // The default policy offers one priority here; the relative order of
    // the three classes is kept by clamping into the policy's range.
    int policy = SCHED_OTHER;
    pthread_attr_getschedpolicy(&attributes_, &policy);
    sched_param param{};
    param.sched_priority = std::min(*priority, sched_get_priority_max(policy));
    if (pthread_attr_setschedparam(&attributes_, &param) != 0) {
      pthread_attr_destroy(&attributes_);
      return false;
    }
  }
  const int result = pthread_create(&id_, &attributes_, function, argument);
  pthread_attr_destroy(&attributes_);
  // Only a thread that exists may be joined later.
  started_ = result == 0;
  return started_;
}

int VThread::join(void** exitValue) {
  if (!started_) return 0;
  const int result = pthread_join(id_, exitValue);
  started_ = false;
  return result;
}

int VThread::detach() {
  if (!started_) return 0;
  started_ = false;
  return pthread_detach(id_);
}

// Cancelling a thread that was never created would hand the system an
// invalid handle.
int VThread::cancel() { return started_ ? pthread_cancel(id_) : ESRCH; }

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

pthread_t ThreadIf::getId() const { return handle_.getId(); }

void ThreadIf::shutdown() { shutdown_.store(true); }

void* ThreadIf::start(void* self) {
  static_cast<ThreadIf*>(self)->thread();
  return nullptr;
}

}  // namespace korvex
