// Mutexes, conditions and threads on POSIX threads.
#include <algorithm>
#include <cerrno>
#include <ctime>
#include <new>
#include <pthread.h>
#include <sched.h>

#include "runtime/log.h"
#include "runtime/threads.h"

namespace korvex {
namespace {

pthread_cond_t* nativeCondition(unsigned char* storage) { return std::launder(reinterpret_cast<pthread_cond_t*>(storage)); }

}  // namespace

PlainMutex::~PlainMutex() = default;

int PlainMutex::lock() { return pthread_mutex_lock(native_.native_handle()); }

int PlainMutex::unlock() { return pthread_mutex_unlock(native_.native_handle()); }

VCondition::VCondition() {
  static_assert(sizeof(pthread_cond_t) <= sizeof native_ && alignof(pthread_cond_t) <= 8);
  auto* cond = new (native_) pthread_cond_t;
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(cond, &attributes);
  pthread_condattr_destroy(&attributes);
}

VCondition::~VCondition() {
  const int result = pthread_cond_destroy(nativeCondition(native_));
  if (result != 0) logPrint(ERR, "condition was not destroyed: %d", result);
}

int VCondition::broadcast() { return pthread_cond_broadcast(nativeCondition(native_)); }

int VCondition::waitUntil(PlainMutex& mutex, const TimeVal& deadline) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(deadline.seconds());
  ts.tv_nsec = static_cast<long>(deadline.microseconds() * 1000);
  return pthread_cond_timedwait(nativeCondition(native_), mutex.native_.native_handle(), &ts);
}

int VCondition::waitUntimed(PlainMutex& mutex) {
  return pthread_cond_wait(nativeCondition(native_), mutex.native_.native_handle());
}

ThreadId currentThreadId() { return static_cast<ThreadId>(pthread_self()); }

bool VThread::spawn(Function function, void* argument, int priorityClass) {
  static_assert(sizeof(pthread_t) <= sizeof(ThreadId));
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  if (pthread_attr_setstacksize(&attributes, kLibraryThreadStackBytes) != 0) {
    pthread_attr_destroy(&attributes);
    return false;
  }
  if (const auto priority = schedulingPriorityForClass(priorityClass)) {
    // The default policy offers one priority here; the relative order of
    // the three classes is kept by clamping into the policy's range.
    int policy = SCHED_OTHER;
    pthread_attr_getschedpolicy(&attributes, &policy);
    sched_param param{};
    param.sched_priority = std::min(*priority, sched_get_priority_max(policy));
    if (pthread_attr_setschedparam(&attributes, &param) != 0) {
      pthread_attr_destroy(&attributes);
      return false;
    }
  }
  pthread_t id{};
  const int result = pthread_create(&id, &attributes, function, argument);
  pthread_attr_destroy(&attributes);
  id_ = static_cast<ThreadId>(id);
  // Only a thread that exists may be joined later.
  started_ = result == 0;
  return started_;
}

int VThread::join(void** exitValue) {
  if (!started_) return 0;
  const int result = pthread_join(static_cast<pthread_t>(id_), exitValue);
  started_ = false;
  return result;
}

int VThread::detach() {
  if (!started_) return 0;
  started_ = false;
  return pthread_detach(static_cast<pthread_t>(id_));
}

// Cancelling a thread that was never created would hand the system an
// invalid handle.
int VThread::cancel() { return started_ ? pthread_cancel(static_cast<pthread_t>(id_)) : ESRCH; }

}  // namespace korvex
