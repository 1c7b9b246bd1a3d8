// Mutex wrappers used by every lock of the library.
#pragma once

#if !defined(_WIN32)
#include <mutex>
#endif

#include "runtime/thread_annotations.h"

namespace korvex {

// A non-recursive mutex. Constant-initialised, so the process-wide mutexes
// exist before any static constructor runs and creating them cannot fail.
// The system's lock stays opaque here: code above the runtime includes no
// system header. Its calls are in threads_posix.cpp / threads_win32.cpp.
class CAPABILITY("mutex") PlainMutex {
 public:
  constexpr PlainMutex() = default;
  ~PlainMutex();
  PlainMutex(const PlainMutex&) = delete;
  PlainMutex& operator=(const PlainMutex&) = delete;

  int lock() ACQUIRE();
  int unlock() RELEASE();

 private:
#if defined(_WIN32)
  void* native_ = nullptr;  // an SRW lock; all zeros is its unlocked state
#else
  std::mutex native_;  // a pthread mutex, reached through native_handle()
#endif
};

// Holds a mutex for the rest of the enclosing block.
class SCOPED_CAPABILITY LockHelper {
 public:
  explicit LockHelper(PlainMutex& mutex) ACQUIRE(mutex) : mutex_(&mutex) { held_ = mutex_->lock() == 0; }
  virtual ~LockHelper() RELEASE() {
    if (held_) mutex_->unlock();
  }
  LockHelper(const LockHelper&) = delete;
  LockHelper& operator=(const LockHelper&) = delete;

 private:
  PlainMutex* mutex_;
  bool held_ = false;
};

}  // namespace korvex
