// Thread, condition and time wrappers that sessions and transfers run on.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "runtime/mutex.h"

namespace korvex {

// A point in time or a duration. Seconds are 64-bit so that deadlines stay
// in the future after 2038.
class TimeVal {
 public:
  TimeVal() = default;
  TimeVal(std::int64_t seconds, std::int64_t microseconds) : seconds_(seconds), micros_(microseconds) {}
  virtual ~TimeVal() = default;

  TimeVal& now();           // wall clock, millisecond resolution
  TimeVal& monotonicNow();  // the clock condition deadlines are measured on
  TimeVal& add(const TimeVal& other);
  TimeVal& normalize();

  std::int64_t seconds() const { return seconds_; }
  std::int64_t microseconds() const { return micros_; }

 private:
  std::int64_t seconds_ = 0;
  std::int64_t micros_ = 0;
};

// A condition variable whose timed waits run on the monotonic clock, so
// setting the system clock neither stretches nor cuts a pause.
class VCondition {
 public:
  VCondition();
  virtual ~VCondition();
  VCondition(const VCondition&) = delete;
  VCondition& operator=(const VCondition&) = delete;

  int broadcast();
  // 0 when woken, ETIMEDOUT when the deadline passed; a negative time waits
  // without limit.
  int waitMicros(PlainMutex& mutex, std::int64_t micros);
  int waitMs(PlainMutex& mutex, int ms);
  int waitUntil(PlainMutex& mutex, const TimeVal& monotonicDeadline);

 private:
  int waitUntimed(PlainMutex& mutex);

  // The system's condition variable, built in place by the platform file:
  // a pthread condition on the monotonic clock, or a Windows condition
  // variable.
  alignas(8) unsigned char native_[48];
};

// Stack reserved for each library thread (keep-alive, transfers). Explicit
// and small, so that a 32-bit host's 2 GiB hold a thousand sessions; the
// deepest path measured under 10 KiB (bulk buffers are on the heap).
// Sanitizers enlarge frames several times over.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kLibraryThreadStackBytes = std::size_t{2} << 20;
#else
constexpr std::size_t kLibraryThreadStackBytes = std::size_t{256} << 10;
#endif

// Identifies a running thread: its pthread_t, or its Windows thread id.
using ThreadId = std::uint64_t;
ThreadId currentThreadId();

// The scheduling priority a priority class asks for, if any.
std::optional<int> schedulingPriorityForClass(int priorityClass);

class VThread {
 public:
  using Function = void* (*)(void*);

  VThread() = default;
  virtual ~VThread() = default;
  VThread(const VThread&) = delete;
  VThread& operator=(const VThread&) = delete;

  bool spawn(Function function, void* argument, int priorityClass);
  int join(void** exitValue = nullptr);
  // Gives up the claim to join: the system reclaims the thread when it ends.
  int detach();
  int cancel();
  ThreadId getId() const { return id_; }
  bool started() const { return started_; }

 private:
  ThreadId id_ = 0;
  // Windows: the thread's handle, and the block that carries the function
  // and its exit value across the native thread routine.
  void* native_ = nullptr;
  void* start_ = nullptr;
  bool started_ = false;
};

// A thread object whose subclass supplies the body.
class ThreadIf {
 public:
  ThreadIf() = default;
  virtual ~ThreadIf() = default;
  ThreadIf(const ThreadIf&) = delete;
  ThreadIf& operator=(const ThreadIf&) = delete;

  virtual bool run(int unused = 0);
  // Waits for the thread; at once when it released itself.
  virtual int join();
  virtual int cancel();
  virtual ThreadId getId() const;
  virtual void shutdown();
  virtual void thread() = 0;

  bool isShutdown() const { return shutdown_.load(); }

 protected:
  // Called by the thread when it ends on its own: unless a join has begun,
  // nobody will wait for it, so the system reclaims it at its end instead of
  // keeping it until the process exits.
  void releaseSelf();

  VThread handle_;  // spawned, joined and released under handleLock_
  PlainMutex handleLock_;
  bool joining_ GUARDED_BY(handleLock_) = false;
  std::atomic<bool> shutdown_{true};

 private:
  static void* start(void* self);
};

}  // namespace korvex
