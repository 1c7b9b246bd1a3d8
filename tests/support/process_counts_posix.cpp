#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "process_counts.h"

namespace korvex::test {
namespace {

long entries(const std::string& dir) {
  std::error_code error;
  long n = 0;
  for (auto it = std::filesystem::directory_iterator(dir, error); !error && it != std::filesystem::directory_iterator();
       it.increment(error))
    ++n;
  return error ? -1 : n;
}

// statm's second field, resident pages: one short line, cheap enough to
// sample often, and the same figure as status's VmRSS.
long residentKiB(const std::string& proc) {
  std::ifstream statm(proc + "/statm");
  long size = 0, resident = 0;
  if (!(statm >> size >> resident)) return -1;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

ProcessCounts countsUnder(const std::string& proc) {
  return {entries(proc + "/fd"), entries(proc + "/task"), residentKiB(proc)};
}

}  // namespace

ProcessCounts processCounts() { return countsUnder("/proc/self"); }

ProcessCounts processCounts(long pid) { return countsUnder("/proc/" + std::to_string(pid)); }

}  // namespace korvex::test
