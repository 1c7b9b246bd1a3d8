#include "thread_stack.h"

#include <sys/mman.h>
#include <unistd.h>

namespace korvexd {

ThreadStack::ThreadStack(std::size_t bytes) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t usable = (bytes + page - 1) / page * page;
  // MAP_STACK | MAP_NORESERVE: pages are taken only as the thread touches them.
  void* base = mmap(nullptr, usable + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE,
                    -1, 0);
  if (base == MAP_FAILED) return;
  // Stacks grow down: the guard is the lowest page.
  if (mprotect(base, page, PROT_NONE) != 0) {
    munmap(base, usable + page);
    return;
  }
  base_ = base;
  mapped_ = usable + page;
  guard_ = page;
}

ThreadStack& ThreadStack::operator=(ThreadStack&& other) noexcept {
  if (this != &other) {
    release();
    base_ = std::exchange(other.base_, nullptr);
    mapped_ = std::exchange(other.mapped_, 0);
    guard_ = other.guard_;
  }
  return *this;
}

ThreadStack::~ThreadStack() { release(); }

void ThreadStack::release() {
  if (base_) munmap(base_, mapped_);
  base_ = nullptr;
}

bool ThreadStack::applyTo(pthread_attr_t& attr) const {
  return base_ && pthread_attr_setstack(&attr, static_cast<char*>(base_) + guard_, mapped_ - guard_) == 0;
}

}  // namespace korvexd
