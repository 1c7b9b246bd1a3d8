// Mutexes and threads on native Windows primitives: SRW locks and
// _beginthreadex. Chosen over the POSIX emulation of the compiler's threads
// library because an SRW lock needs no setup (all zeros is unlocked) and
// owns no resources, and because a thread's stack can be reserved exactly.
#include <windows.h>

#include <process.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "runtime/threads.h"

namespace korvex {
namespace {

SRWLOCK* nativeLock(void** storage) { return reinterpret_cast<SRWLOCK*>(storage); }

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

bool VThread::spawn(Function function, void* argument) {
  auto* block = new (std::nothrow) StartBlock{function, argument};
  if (block == nullptr) return false;
  const auto handle = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, static_cast<unsigned>(kLibraryThreadStackBytes),
                                                              &threadMain, block, STACK_SIZE_PARAM_IS_A_RESERVATION,
                                                              nullptr));
  if (handle == nullptr) {
    delete block;
    started_ = false;
    return false;
  }
  native_ = handle;
  start_ = block;
  started_ = true;
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

}  // namespace korvex
