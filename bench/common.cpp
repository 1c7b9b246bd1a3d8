#include "common.h"

#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

#include "child_process.h"

namespace korvex::bench {

double nowSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  std::size_t rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
  rank = std::clamp<std::size_t>(rank, 1, values.size());
  return values[rank - 1];
}

Flags::Flags(int argc, char** argv, const std::vector<std::string>& known) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) {
      std::fprintf(stderr, "%s: unexpected argument %s\n", argv[0], arg.c_str());
      std::exit(2);
    }
    std::string name = arg.substr(2);
    std::string value = "1";
    if (const std::size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
    } else if (i + 1 < argc && std::string(argv[i + 1]).rfind("--", 0) != 0) {
      value = argv[++i];
    }
    if (std::find(known.begin(), known.end(), name) == known.end()) {
      std::fprintf(stderr, "%s: unknown flag --%s; known:", argv[0], name.c_str());
      for (const auto& k : known) std::fprintf(stderr, " --%s", k.c_str());
      std::fprintf(stderr, "\n");
      std::exit(2);
    }
    values_[name] = value;
  }
}

std::string Flags::text(const std::string& name, const std::string& fallback) const {
  const auto found = values_.find(name);
  return found == values_.end() ? fallback : found->second;
}

long Flags::number(const std::string& name, long fallback) const {
  const auto found = values_.find(name);
  if (found == values_.end()) return fallback;
  char* end = nullptr;
  const long value = std::strtol(found->second.c_str(), &end, 10);
  if (end == found->second.c_str() || *end) {
    std::fprintf(stderr, "--%s wants a number, not %s\n", name.c_str(), found->second.c_str());
    std::exit(2);
  }
  return value;
}

std::vector<long> Flags::numbers(const std::string& name, const std::string& fallback) const {
  std::vector<long> out;
  std::stringstream in(text(name, fallback));
  for (std::string item; std::getline(in, item, ',');) {
    if (!item.empty()) out.push_back(std::strtol(item.c_str(), nullptr, 10));
  }
  return out;
}

std::string format(const char* fmt, ...) {
  char buffer[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buffer, sizeof buffer, fmt, args);
  va_end(args);
  return buffer;
}

void summaryLine(const std::string& what, const std::string& library, const std::string& reference,
                 double ratio, const std::string& target, bool met) {
  const char* verdict = target == "-" ? "-" : met ? "PASS" : "MISS";
  std::printf("SUMMARY|%s|%s|%s|%.3f|%s|%s\n", what.c_str(), library.c_str(), reference.c_str(), ratio,
              target.c_str(), verdict);
  std::fflush(stdout);
}

void infoLine(const std::string& what, const std::string& value) {
  std::printf("SUMMARY|%s|%s|-|-|-|-\n", what.c_str(), value.c_str());
  std::fflush(stdout);
}

namespace {
// Scratch directories still to remove when the benchmark leaves early.
std::vector<ScratchDir*> liveScratch;
}  // namespace

void finish(int code) {
  while (!liveScratch.empty()) liveScratch.back()->remove();
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(code);
}

void armWatchdog(int seconds) {
  // SIGALRM's default action ends the process; children die with their
  // parent thread (PR_SET_PDEATHSIG).
  signal(SIGALRM, SIG_DFL);
  alarm(static_cast<unsigned>(seconds));
}

ScratchDir::ScratchDir(const std::string& base, const std::string& prefix) : TempDir(prefix, base) {
  liveScratch.push_back(this);
}

ScratchDir::~ScratchDir() { remove(); }

void ScratchDir::remove() {
  liveScratch.erase(std::remove(liveScratch.begin(), liveScratch.end(), this), liveScratch.end());
  TempDir::remove();
}

std::filesystem::path ScratchDir::subdir(const std::string& name) const {
  const std::filesystem::path dir = path() / name;
  std::filesystem::create_directories(dir);
  return dir;
}

void makeFile(const std::filesystem::path& path, std::uint64_t bytes, std::uint32_t seed) {
  constexpr std::size_t kBlock = 1 << 20;
  std::unique_ptr<std::uint64_t[]> block(new std::uint64_t[kBlock / 8]);
  std::uint64_t x = 0x9E3779B97F4A7C15ULL ^ seed;
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) {
    std::perror(path.c_str());
    std::exit(1);
  }
  while (bytes > 0) {
    for (std::size_t i = 0; i < kBlock / 8; ++i) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      block[i] = x;
    }
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, kBlock));
    if (std::fwrite(block.get(), 1, n, out) != n) {
      std::perror(path.c_str());
      std::exit(1);
    }
    bytes -= n;
  }
  if (std::fclose(out) != 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
}

bool sameContent(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  if (!fa || !fb) return false;
  std::vector<char> ba(1 << 20), bb(1 << 20);
  for (;;) {
    fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
    fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
    if (fa.gcount() != fb.gcount()) return false;
    if (std::memcmp(ba.data(), bb.data(), static_cast<std::size_t>(fa.gcount())) != 0) return false;
    if (!fa || !fb) return fa.eof() && fb.eof();
  }
}

std::uint64_t fileSizeOr0(const std::filesystem::path& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? 0 : size;
}

bool waitForFile(const std::filesystem::path& path, std::uint64_t bytes, double timeoutSeconds) {
  const double deadline = nowSeconds() + timeoutSeconds;
  for (;;) {
    std::error_code error;
    if (std::filesystem::file_size(path, error) == bytes && !error) return true;
    if (nowSeconds() > deadline) return false;
    usleep(2000);
  }
}

void settle() { sync(); }

// ---- processes ---------------------------------------------------------------

std::unique_ptr<test::ServiceProcess> startService(const Flags& flags, const ScratchDir& scratch,
                                                   const std::filesystem::path& root, const std::string& password) {
  test::ServiceProcess::Options options;
  options.password = password;
  options.deviceName = "bench-phone";
  options.extraArgs = {"--idle-timeout-ms", "0"};
  options.binary = flags.text("korvexd", "");
  options.root = root;
  options.workdir = scratch.path();
  try {
    return std::make_unique<test::ServiceProcess>(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    finish(1);
  }
}

SessionHandle connectOrFinish(const std::string& address, const std::string& password) {
  int error = 0;
  SessionHandle session = Connect(address.c_str(), password.c_str(), &error);
  if (!session) {
    std::fprintf(stderr, "Connect to %s failed: %d\n", address.c_str(), error);
    finish(1);
  }
  return session;
}

int runToEnd(const std::vector<std::string>& argv, const std::string& outputPath, double timeoutSeconds) {
  test::ChildProcess::Options options;
  options.argv = argv;
  options.out = {test::ChildProcess::Output::File, outputPath};
  options.err = options.out;
  try {
    test::ChildProcess child(options);
    const auto timeout = std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
    if (const std::optional<int> status = child.waitExit(timeout)) return *status;
    child.stop(std::chrono::seconds(5));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
  }
  return -1;
}

void raiseDescriptorLimit(std::uint64_t wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur >= wanted) return;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min<rlim_t>(wanted, limit.rlim_max);
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted) {
    limit.rlim_max = wanted;  // only root may raise the hard limit; try anyway
    limit.rlim_cur = wanted;
    if (setrlimit(RLIMIT_NOFILE, &limit) == 0) return;
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
  }
  setrlimit(RLIMIT_NOFILE, &limit);
}

namespace {
std::string procPath(long pid, const char* file) {
  return (pid == 0 ? std::string("/proc/self/") : "/proc/" + std::to_string(pid) + "/") + file;
}
}  // namespace

bool resetPeakResident(long pid) {
  std::ofstream clear(procPath(pid, "clear_refs"));
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

long peakResidentKiB(long pid) {
  std::ifstream status(procPath(pid, "status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

std::vector<int> allowedCpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::vector<int> cpus;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
  }
  return cpus;
}

bool pinThread(pid_t tid, int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return sched_setaffinity(tid, sizeof set, &set) == 0;
}

}  // namespace korvex::bench
