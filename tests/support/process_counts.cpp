#include "process_counts.h"

#include <chrono>
#include <thread>

#include "deadline.h"

namespace korvex::test {

ProcessCounts settledCounts(const ProcessCounts& expected) {
  const Deadline deadline(std::chrono::seconds(2));
  for (;;) {
    const ProcessCounts now = processCounts();
    if ((now.handles == expected.handles && now.threads == expected.threads) || deadline.leftMs() == 0) return now;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace korvex::test
