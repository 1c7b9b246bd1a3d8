// A large buffer taken from the system and given back to it when released.
//
// Copies and listings borrow buffers of 256 KiB to 1 MiB. Through the C
// library's allocator, the first one released raises its threshold for
// taking blocks straight from the system, and every later one is carved
// from a heap arena that keeps the pages once it is freed: after the
// sessions of a long run ended, tens of MiB stayed resident.
#pragma once

#include <cstddef>
#include <memory>

#include "runtime/platform.h"

namespace korvex {

struct PageRelease {
  std::size_t bytes = 0;
  void operator()(void* block) const { platform::unmapPages(block, bytes); }
};

template <typename T>
using PageBuffer = std::unique_ptr<T[], PageRelease>;

// `count` elements, zero-filled; null when the system refused.
template <typename T>
PageBuffer<T> pageBuffer(std::size_t count) {
  const std::size_t bytes = count * sizeof(T);
  return PageBuffer<T>(static_cast<T*>(platform::mapPages(bytes)), PageRelease{bytes});
}

}  // namespace korvex
