// Shared pieces of the benchmarks: timing and statistics, flags, a scratch
// directory, the korvexd process, raw protocol sockets and child processes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

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
// removed with everything in it by remove().
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& base, const std::string& prefix);
  ~ScratchDir() { remove(); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  void remove();

 private:
  std::filesystem::path path_;
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

// ---- the reference service ---------------------------------------------------

class Service {
 public:
  Service() = default;
  ~Service() { stop(); }
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Starts korvexd serving `root`; its log goes to `logPath`. False (with a
  // message on stderr) when it does not come up within 10 s.
  bool start(const std::string& binary, const std::filesystem::path& root, const std::string& password,
             const std::filesystem::path& logPath);
  void stop();
  std::uint16_t port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
};

// The korvexd binary this build made, unless --korvexd names another.
std::string defaultServiceBinary();

// ---- child processes -------------------------------------------------------

// Starts argv[0] (searched in PATH) with stdin from /dev/null and stdout and
// stderr to `outputPath` (or /dev/null when empty). The child gets SIGTERM
// if this thread ends first.
pid_t spawn(const std::vector<std::string>& argv, const std::string& outputPath);
// The child's wait status, or -1 after killing it at the time-out.
int waitChild(pid_t pid, double timeoutSeconds);
void stopChild(pid_t pid);  // SIGTERM, then SIGKILL after 5 s

// Blocking send and receive of exactly `size` bytes; false when the peer
// closed or the call failed.
bool sendAll(int fd, const void* data, std::size_t size);
bool recvAll(int fd, void* data, std::size_t size);

// ---- raw protocol client -------------------------------------------------------

// One blocking TCP connection speaking the protocol directly.
class RawClient {
 public:
  RawClient() = default;
  ~RawClient() { close(); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connect(std::uint16_t port);
  bool login(const std::string& password);  // password block, 40 + 64 bytes back
  void close();
  int fd() const { return fd_; }

  bool sendAll(const void* data, std::size_t size);
  bool recvAll(void* data, std::size_t size);
  // Code and 1024-byte path block in one write.
  bool sendPathRequest(std::uint32_t code, const std::string& path);
  bool sendUploadRequest(const std::string& path, std::uint32_t size);
  // Reads a 40-byte reply header; false on failure.
  bool readReply(std::int32_t& status, std::uint32_t& value);

 private:
  int fd_ = -1;
};

// Raises the soft descriptor limit to at least `wanted` (or the hard limit).
void raiseDescriptorLimit(std::uint64_t wanted);

// VmRSS of this process in KiB.
long residentKiB();

// The CPUs this process may run on.
std::vector<int> allowedCpus();
// Pins a thread (0: the calling one) to one CPU; threads it creates later
// inherit the pinning. False when the system refused.
bool pinThread(pid_t tid, int cpu);

}  // namespace korvex::bench
