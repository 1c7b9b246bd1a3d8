// What this process holds, for checks that nothing is left behind. One
// implementation per platform (process_counts_posix.cpp, process_counts_win32.cpp).
#pragma once

namespace korvex::test {

struct ProcessCounts {
  long handles = -1;  // open descriptors (POSIX) or kernel handles (Windows); -1 when unknown
  long threads = -1;
  long residentKiB = -1;

  // Spelled out: C++17 hosts of the wrapper include this too.
  bool operator==(const ProcessCounts& other) const {
    return handles == other.handles && threads == other.threads && residentKiB == other.residentKiB;
  }
};

ProcessCounts processCounts();
// The same for another process of ours, by id (korvexd, seen from its
// clients); all -1 where the platform cannot tell.
ProcessCounts processCounts(long pid);

// The counts once their handles and threads equal `expected`, or after two
// seconds, whichever comes first. A joined thread may still be listed for a
// moment: the kernel wakes the joiner before it reaps the thread.
ProcessCounts settledCounts(const ProcessCounts& expected);

}  // namespace korvex::test
