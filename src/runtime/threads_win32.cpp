// Mutexes, conditions and threads on native Windows primitives: SRW locks,
// condition variables and _beginthreadex. Chosen over the POSIX emulation of
// the compiler's threads library because a condition variable there times
// out on the wall clock, while the keep-alive pause must run on a monotonic
// one, and because a thread's stack can be reserved exactly.
#include <windows.h>

#include <process.h>

#include <atomic>
#include <cerrno>
#include <limits>
#include <new>

#include "runtime/platform.h"
#include "runtime/threads.h"

namespace korvex {
namespace {

SRWLOCK* nativeLock(void** storage) { return reinterpret_cast<SRWLOCK*>(storage); }

CONDITION_VARIABLE* nativeCondition(unsigned char* storage) {
  return std::launder(reinterpret_cast<CONDITION_VARIABLE*>(storage));
}

// What the native thread routine needs, and where it leaves the exit value
// for join. Owned by the thread and by its VThread until it detaches or
// joins: the last of the two frees it.
struct StartBlock {
  VThread::Function function;
  void* argument;
  void* result = nullptr;
  std::atomic<int> owners{2};
};

void release(StartBlock* block) {
  if (block->owners.fetch_sub(1) == 1) delete block;
}

unsigned __stdcall threadMain(void* raw) {
  auto* block = static_cast<StartBlock*>(raw);
  block->result = block->function(block->argument);
  release(block);
  return 0;
}

// Priority 0 is the normal priority; higher numbers ask for more, as POSIX
// scheduling priorities do.
int windowsPriority(int priority) {
  switch (priority) {
    case 0: return THREAD_PRIORITY_NORMAL;
    case 1: return THREAD_PRIORITY_ABOVE_NORMAL;
    default: return THREAD_PRIORITY_HIGHEST;
  }
}

}  // namespace

static_assert(sizeof(SRWLOCK) == sizeof(void*), "PlainMutex holds an SRW lock in one pointer");

PlainMutex::~PlainMutex() = default;  // an SRW lock owns no resources

int PlainMutex::lock() {
  AcquireSRWLockExclusive(nativeLock(&native_));
  return 0;
}

int PlainMutex::unlock() {
  ReleaseSRWLockExclusive(nativeLock(&native_));
  return 0;
}

VCondition::VCondition() {
  static_assert(sizeof(CONDITION_VARIABLE) <= sizeof native_);
  InitializeConditionVariable(new (native_) CONDITION_VARIABLE);
}

VCondition::~VCondition() = default;  // nothing to release

int VCondition::broadcast() {
  WakeAllConditionVariable(nativeCondition(native_));
  return 0;
}

int VCondition::waitUntil(PlainMutex& mutex, const TimeVal& deadline) {
  const std::int64_t end = deadline.seconds() * 1000000 + deadline.microseconds();
  const std::int64_t left = end - platform::monotonicMicros();
  if (left <= 0) return ETIMEDOUT;
  // Rounded up, so the wait does not end before the deadline; INFINITE is
  // never passed by accident.
  const std::int64_t ms = std::min<std::int64_t>((left + 999) / 1000, INFINITE - 1);
  if (SleepConditionVariableSRW(nativeCondition(native_), nativeLock(&mutex.native_), static_cast<DWORD>(ms), 0)) {
    return 0;
  }
  if (GetLastError() != ERROR_TIMEOUT) return EINVAL;
  // A timer that fires a little early counts as a spurious wake-up: the
  // caller checks its condition and waits again for the time still left.
  // Waiting again here could miss a broadcast made in between.
  return platform::monotonicMicros() >= end ? ETIMEDOUT : 0;
}

int VCondition::waitUntimed(PlainMutex& mutex) {
  return SleepConditionVariableSRW(nativeCondition(native_), nativeLock(&mutex.native_), INFINITE, 0) ? 0 : EINVAL;
}

ThreadId currentThreadId() { return GetCurrentThreadId(); }

bool VThread::spawn(Function function, void* argument, int priorityClass) {
  auto* block = new (std::nothrow) StartBlock{function, argument};
  if (block == nullptr) return false;
  unsigned id = 0;
  // Created suspended so that the priority holds from the first instruction.
  const auto handle = reinterpret_cast<HANDLE>(_beginthreadex(
      nullptr, static_cast<unsigned>(kLibraryThreadStackBytes), &threadMain, block,
      CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION,
      &id));
  if (handle == nullptr) {
    delete block;
    started_ = false;
    return false;
  }
  if (const auto priority = schedulingPriorityForClass(priorityClass)) {
    if (!SetThreadPriority(handle, windowsPriority(*priority))) {
      // The thread has not run a single instruction of ours.
      TerminateThread(handle, 0);
      WaitForSingleObject(handle, INFINITE);
      CloseHandle(handle);
      delete block;
      started_ = false;
      return false;
    }
  }
  native_ = handle;
  start_ = block;
  id_ = id;
  started_ = true;
  ResumeThread(handle);
  return true;
}

int VThread::join(void** exitValue) {
  if (!started_) return 0;
  auto* block = static_cast<StartBlock*>(start_);
  if (WaitForSingleObject(static_cast<HANDLE>(native_), INFINITE) != WAIT_OBJECT_0) return EINVAL;
  if (exitValue) *exitValue = block->result;
  CloseHandle(static_cast<HANDLE>(native_));
  release(block);
  native_ = nullptr;
  start_ = nullptr;
  started_ = false;
  return 0;
}

int VThread::detach() {
  if (!started_) return 0;
  CloseHandle(static_cast<HANDLE>(native_));
  release(static_cast<StartBlock*>(start_));
  native_ = nullptr;
  start_ = nullptr;
  started_ = false;
  return 0;
}

// Windows has no cancellation points; ending a running thread from outside
// would leave its locks held. The library never cancels a thread.
int VThread::cancel() { return started_ ? ENOTSUP : ESRCH; }

}  // namespace korvex
