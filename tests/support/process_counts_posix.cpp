#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "process_counts.h"

namespace korvex::test {
namespace {

long entries(const char* dir) {
  std::error_code error;
  long n = 0;
  for (auto it = std::filesystem::directory_iterator(dir, error); !error && it != std::filesystem::directory_iterator();
       it.increment(error))
    ++n;
  return error ? -1 : n;
}

long residentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

}  // namespace

ProcessCounts processCounts() {
  return {entries("/proc/self/fd"), entries("/proc/self/task"), residentKiB()};
}

}  // namespace korvex::test
