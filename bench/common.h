// Shared pieces of the benchmarks: timing and statistics, flags, summary
// lines, scratch files, and the machine's limits and CPUs. Processes, raw
// clients and peers come from the test support library.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "korvex.h"
#include "service_process.h"
#include "temp_dir.h"

namespace korvex::bench {

// ---- time and statistics ---------------------------------------------------

double nowSeconds();  // monotonic
double median(std::vector<double> values);
// p in [0, 100]; nearest rank.
double percentile(std::vector<double> values, double p);

// ---- flags -----------------------------------------------------------------

// "--name value" and "--flag" arguments; unknown names are an error so that a
// typo does not silently run with defaults.
class Flags {
 public:
  Flags(int argc, char** argv, const std::vector<std::string>& known);
  bool has(const std::string& name) const { return values_.count(name) != 0; }
  std::string text(const std::string& name, const std::string& fallback) const;
  long number(const std::string& name, long fallback) const;
  // "1000,10000": the numbers of a comma-separated list.
  std::vector<long> numbers(const std::string& name, const std::string& fallback) const;

 private:
  std::map<std::string, std::string> values_;
};

// ---- output ----------------------------------------------------------------

// A line that bench/run.sh gathers into its summary table:
// what, library figure, reference figure, ratio, target, verdict. A target
// of "-" marks a figure shown for information, with no verdict.
void summaryLine(const std::string& what, const std::string& library, const std::string& reference,
                 double ratio, const std::string& target, bool met);
// A summary line with no target (informational).
void infoLine(const std::string& what, const std::string& value);
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Removes the scratch directories still there, flushes and leaves without
// running static destructors: library sessions live until the process ends
// and their threads may still be running.
[[noreturn]] void finish(int code);

// Kills the process if the benchmark overruns its budget.
void armWatchdog(int seconds);

// ---- files -----------------------------------------------------------------

// A fresh directory under `base` (or the system's temporary directory),
// removed with everything in it by remove(), or by finish().
class ScratchDir : public test::TempDir {
 public:
  ScratchDir(const std::string& base, const std::string& prefix);
  ~ScratchDir();
  void remove();
  // A directory inside, created when missing.
  std::filesystem::path subdir(const std::string& name) const;
};

// Writes `bytes` of pseudo-random data (not compressible, not all zero).
void makeFile(const std::filesystem::path& path, std::uint64_t bytes, std::uint32_t seed);
bool sameContent(const std::filesystem::path& a, const std::filesystem::path& b);
std::uint64_t fileSizeOr0(const std::filesystem::path& path);
// Waits until `path` exists with `bytes` bytes; false at the time-out.
bool waitForFile(const std::filesystem::path& path, std::uint64_t bytes, double timeoutSeconds);
// Writes dirty pages out, so one measurement's write-back does not land in
// the next one.
void settle();

// ---- processes ---------------------------------------------------------------

// The password every benchmark's korvexd and clients use.
inline constexpr const char* kPassword = "bench-password";

// korvexd (the one this build made, unless --korvexd names another) serving
// `root`, its log in the scratch directory, with the idle time-out off: a raw
// session may wait through a whole library phase. Leaves the benchmark
// (finish(1)) when it does not come up.
std::unique_ptr<test::ServiceProcess> startService(const Flags& flags, const ScratchDir& scratch,
                                                   const std::filesystem::path& root, const std::string& password);
// A library session on `address`; leaves the benchmark when it fails.
SessionHandle connectOrFinish(const std::string& address, const std::string& password);

// Runs argv[0] (searched in PATH) to its end, its standard output and error
// appended to `outputPath`; its wait status, or -1 after stopping it at the
// time-out.
int runToEnd(const std::vector<std::string>& argv, const std::string& outputPath, double timeoutSeconds);

// Raises the soft descriptor limit to at least `wanted` (or the hard limit).
void raiseDescriptorLimit(std::uint64_t wanted);

// VmRSS of this process in KiB.
long residentKiB();
// The peak resident size of process `pid` (0: this one) restarts at the
// current one (Linux 4.0 and later); false when the system refused.
bool resetPeakResident(long pid = 0);
// VmHWM of process `pid` (0: this one) in KiB: the peak since the last reset.
long peakResidentKiB(long pid = 0);

// The CPUs this process may run on.
std::vector<int> allowedCpus();
// Pins a thread (0: the calling one) to one CPU; threads it creates later
// inherit the pinning. False when the system refused.
bool pinThread(pid_t tid, int cpu);

}  // namespace korvex::bench
