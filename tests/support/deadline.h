// A point on the monotonic clock: a wait made of several waits takes its
// time-out once and waits each time with what is left.
#pragma once

#include <chrono>

namespace korvex::test {

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Deadline(std::chrono::milliseconds timeout) : at_(Clock::now() + timeout) {}

  std::chrono::milliseconds left() const {
    const auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(at_ - Clock::now());
    return rest.count() > 0 ? rest : std::chrono::milliseconds(0);
  }
  int leftMs() const { return static_cast<int>(left().count()); }

 private:
  Clock::time_point at_;
};

}  // namespace korvex::test
