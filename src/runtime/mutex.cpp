#include "runtime/mutex.h"

namespace korvex {

PlainMutex::~PlainMutex() { pthread_mutex_destroy(&mutex_); }

int PlainMutex::lock() { return pthread_mutex_lock(&mutex_); }

int PlainMutex::unlock() { return pthread_mutex_unlock(&mutex_); }

}  // namespace korvex
