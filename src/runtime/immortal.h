// A process-wide object that is never destroyed.
#pragma once

namespace korvex {

// Built at compile time where T allows it, and left alone at exit: the
// library's threads (keep-alive, transfers) may still run while the process
// ends, and must never meet a destroyed object.
template <typename T>
union Immortal {
  constexpr Immortal() : value() {}
  ~Immortal() {}
  T value;
};

}  // namespace korvex
