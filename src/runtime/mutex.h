// Mutex wrappers used by every lock of the library.
#pragma once

#include <pthread.h>

#include "runtime/thread_annotations.h"

namespace korvex {

// A non-recursive mutex. Constant-initialised, so the process-wide mutexes
// exist before any static constructor runs and creating them cannot fail.
class CAPABILITY("mutex") PlainMutex {
 public:
  constexpr PlainMutex() = default;
  ~PlainMutex();
  PlainMutex(const PlainMutex&) = delete;
  PlainMutex& operator=(const PlainMutex&) = delete;

  int lock() ACQUIRE();
  int unlock() RELEASE();
  pthread_mutex_t* native() { return &mutex_; }

 private:
  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
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
