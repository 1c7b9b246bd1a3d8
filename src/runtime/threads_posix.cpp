// Mutexes and threads on POSIX threads.
#include <pthread.h>

#include "runtime/threads.h"

namespace korvex {

PlainMutex::~PlainMutex() = default;

int PlainMutex::lock() { return pthread_mutex_lock(native_.native_handle()); }

int PlainMutex::unlock() { return pthread_mutex_unlock(native_.native_handle()); }

bool VThread::spawn(Function function, void* argument) {
  static_assert(sizeof(pthread_t) <= sizeof id_);
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  if (pthread_attr_setstacksize(&attributes, kLibraryThreadStackBytes) != 0) {
    pthread_attr_destroy(&attributes);
    return false;
  }
  pthread_t id{};
  const int result = pthread_create(&id, &attributes, function, argument);
  pthread_attr_destroy(&attributes);
  id_ = static_cast<std::uint64_t>(id);
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

}  // namespace korvex
