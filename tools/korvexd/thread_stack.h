// A connection thread's stack, mapped by the service and unmapped once the
// thread is joined.
//
// Stacks the C library allocates are kept after their thread ends, for
// reuse, up to 40 MiB of them with whatever pages were touched: after a
// thousand clients leave, that would stay resident. A stack given with
// pthread_attr_setstack is never cached, so every page goes back at once.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <utility>

namespace korvexd {

class ThreadStack {
 public:
  ThreadStack() = default;
  // `bytes` usable, rounded up to whole pages, below one guard page that
  // turns an overflow into a fault instead of a write into other memory.
  explicit ThreadStack(std::size_t bytes);
  ThreadStack(ThreadStack&& other) noexcept
      : base_(std::exchange(other.base_, nullptr)), mapped_(std::exchange(other.mapped_, 0)), guard_(other.guard_) {}
  ThreadStack& operator=(ThreadStack&& other) noexcept;
  ThreadStack(const ThreadStack&) = delete;
  ThreadStack& operator=(const ThreadStack&) = delete;
  ~ThreadStack();

  bool valid() const { return base_ != nullptr; }
  // Gives the stack to a thread about to be created; false when refused.
  bool applyTo(pthread_attr_t& attr) const;

 private:
  void release();

  void* base_ = nullptr;
  std::size_t mapped_ = 0;
  std::size_t guard_ = 0;
};

}  // namespace korvexd
