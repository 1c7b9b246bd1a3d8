// Thread wrappers that sessions and transfers run on.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "runtime/mutex.h"

namespace korvex {

// Stack reserved for each library thread (keep-alive, transfers). Explicit
// and small, so that a 32-bit host's 2 GiB hold a thousand sessions; the
// deepest path measured under 10 KiB (bulk buffers are on the heap).
// Sanitizers enlarge frames several times over.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kLibraryThreadStackBytes = std::size_t{2} << 20;
#else
constexpr std::size_t kLibraryThreadStackBytes = std::size_t{256} << 10;
#endif

class VThread {
 public:
  using Function = void* (*)(void*);

  VThread() = default;
  virtual ~VThread() = default;
  VThread(const VThread&) = delete;
  VThread& operator=(const VThread&) = delete;

  // Starts the thread at the system's normal priority.
  bool spawn(Function function, void* argument);
  int join(void** exitValue = nullptr);
  // Gives up the claim to join: the system reclaims the thread when it ends.
  int detach();
  bool started() const { return started_; }

 private:
#if defined(_WIN32)
  // The thread's handle, and the block that carries the function and its
  // exit value across the native thread routine.
  void* native_ = nullptr;
  void* start_ = nullptr;
#else
  std::uint64_t id_ = 0;  // the pthread_t
#endif
  bool started_ = false;
};

// A thread whose subclass supplies the body, which runs until shutdown()
// asks it to stop (the body watches isShutdown()); join() waits for it.
class StoppableThread {
 public:
  StoppableThread() = default;
  virtual ~StoppableThread() = default;
  StoppableThread(const StoppableThread&) = delete;
  StoppableThread& operator=(const StoppableThread&) = delete;

  bool run();
  // Waits for the thread; at once when it released itself.
  int join();
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
