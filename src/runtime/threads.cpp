// The platform-neutral half of the thread wrappers; the system calls are in
// threads_posix.cpp and threads_win32.cpp.
#include "runtime/threads.h"

namespace korvex {

bool ThreadIf::run() {
  shutdown_.store(false);
  // Held until the handle is recorded: the new thread may release itself at once.
  LockHelper lock(handleLock_);
  joining_ = false;
  return handle_.spawn(&ThreadIf::start, this);
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

void ThreadIf::shutdown() { shutdown_.store(true); }

void* ThreadIf::start(void* self) {
  static_cast<ThreadIf*>(self)->thread();
  return nullptr;
}

}  // namespace korvex
