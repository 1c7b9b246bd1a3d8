// The platform-neutral half of the thread wrappers; the system calls are in
// threads_posix.cpp and threads_win32.cpp.
#include "runtime/threads.h"

namespace korvex {

bool StoppableThread::run() {
  shutdown_.store(false);
  // Held until the handle is recorded: the new thread may release itself at once.
  LockHelper lock(handleLock_);
  joining_ = false;
  return handle_.spawn(&StoppableThread::start, this);
}

int StoppableThread::join() {
  {
    LockHelper lock(handleLock_);
    if (!handle_.started()) return 0;
    joining_ = true;
  }
  // Outside the lock: the thread may be about to take it in releaseSelf.
  return handle_.join();
}

void StoppableThread::releaseSelf() {
  LockHelper lock(handleLock_);
  if (!joining_) handle_.detach();
}

void StoppableThread::shutdown() { shutdown_.store(true); }

void* StoppableThread::start(void* self) {
  static_cast<StoppableThread*>(self)->thread();
  return nullptr;
}

}  // namespace korvex
