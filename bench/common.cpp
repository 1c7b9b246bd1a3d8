#include "common.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
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

#include "session/protocol.h"

namespace korvex::bench {

namespace proto = korvex::protocol;

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
  const char* verdict = target == "-" ? "-" : met ? "met" : "MISSED";
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

ScratchDir::ScratchDir(const std::string& base, const std::string& prefix) {
  std::filesystem::path dir = base.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(base);
  std::filesystem::create_directories(dir);
  std::string pattern = (dir / (prefix + ".XXXXXX")).string();
  if (!mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  path_ = pattern;
  liveScratch.push_back(this);
}

void ScratchDir::remove() {
  liveScratch.erase(std::remove(liveScratch.begin(), liveScratch.end(), this), liveScratch.end());
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
  path_.clear();
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

// ---- child processes -------------------------------------------------------

pid_t spawn(const std::vector<std::string>& argv, const std::string& outputPath) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("fork");
    return -1;
  }
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);  // the parent is already gone
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = outputPath.empty() ? ::open("/dev/null", O_WRONLY)
                                       : ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in < 0 || out < 0) _exit(127);
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

int waitChild(pid_t pid, double timeoutSeconds) {
  const double deadline = nowSeconds() + timeoutSeconds;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0 && errno != EINTR) return -1;
    if (nowSeconds() > deadline) {
      stopChild(pid);
      return -1;
    }
    usleep(1000);
  }
}

void stopChild(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  const double deadline = nowSeconds() + 5;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return;
    if (nowSeconds() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return;
    }
    usleep(2000);
  }
}

// ---- service -----------------------------------------------------------------

std::string defaultServiceBinary() {
#ifdef KORVEX_BENCH_KORVEXD
  return KORVEX_BENCH_KORVEXD;
#else
  return "korvexd";
#endif
}

bool Service::start(const std::string& binary, const std::filesystem::path& root, const std::string& password,
                    const std::filesystem::path& logPath) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    return false;
  }
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    const int in = ::open("/dev/null", O_RDONLY);
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in < 0 || log < 0) _exit(127);
    dup2(in, STDIN_FILENO);
    dup2(pipeFds[1], STDOUT_FILENO);
    dup2(log, STDERR_FILENO);
    // Idle time-out off: a raw session may wait through a whole library phase.
    execl(binary.c_str(), binary.c_str(), "--root", root.c_str(), "--password", password.c_str(), "--listen",
          "127.0.0.1:0", "--idle-timeout-ms", "0", "--name", "bench-phone", static_cast<char*>(nullptr));
    _exit(127);
  }
  ::close(pipeFds[1]);
  pid_ = pid;
  std::string line;
  const double deadline = nowSeconds() + 10;
  bool complete = false;
  while (!complete) {
    const int left = static_cast<int>((deadline - nowSeconds()) * 1000);
    if (left <= 0) break;
    pollfd p{pipeFds[0], POLLIN, 0};
    const int ready = poll(&p, 1, left);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char c;
    const ssize_t n = ::read(pipeFds[0], &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (c == '\n') complete = true;
    else line += c;
  }
  ::close(pipeFds[0]);  // korvexd prints nothing more on stdout
  const std::size_t colon = line.rfind(':');
  if (!complete || colon == std::string::npos) {
    std::fprintf(stderr, "korvexd (%s) did not come up; see %s\n", binary.c_str(), logPath.c_str());
    stop();
    return false;
  }
  port_ = static_cast<std::uint16_t>(std::atoi(line.c_str() + colon + 1));
  return port_ != 0;
}

void Service::stop() {
  if (pid_ > 0) stopChild(pid_);
  pid_ = -1;
}

// ---- raw client --------------------------------------------------------------

bool RawClient::connect(std::uint16_t port) {
  close();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close();
    return false;
  }
  return true;
}

bool RawClient::login(const std::string& password) {
  const proto::PasswordBlock block = proto::encodePassword(password);
  std::uint8_t answer[proto::LOGIN_REPLY_SIZE + proto::DEVICE_NAME_SIZE];
  return sendAll(block.data(), block.size()) && recvAll(answer, sizeof answer);
}

void RawClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool sendAll(int fd, const void* data, std::size_t size) {
  const auto* at = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::send(fd, at, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool recvAll(int fd, void* data, std::size_t size) {
  auto* at = static_cast<std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::recv(fd, at, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool RawClient::sendAll(const void* data, std::size_t size) { return bench::sendAll(fd_, data, size); }

bool RawClient::recvAll(void* data, std::size_t size) { return bench::recvAll(fd_, data, size); }

bool RawClient::sendPathRequest(std::uint32_t code, const std::string& path) {
  std::uint8_t request[proto::CODE_SIZE + proto::PATH_BLOCK_SIZE] = {};
  proto::putWord(request, code);
  std::memcpy(request + proto::CODE_SIZE, path.data(), std::min(path.size(), proto::MAX_PATH_LENGTH));
  return sendAll(request, sizeof request);
}

bool RawClient::sendUploadRequest(const std::string& path, std::uint32_t size) {
  std::uint8_t request[proto::CODE_SIZE + proto::UPLOAD_BLOCK_SIZE] = {};
  proto::putWord(request, proto::CMD_UPLOAD);
  std::memcpy(request + proto::CODE_SIZE, path.data(), std::min(path.size(), proto::MAX_PATH_LENGTH));
  proto::putWord(request + proto::CODE_SIZE + proto::PATH_FIELD_SIZE, size);
  return sendAll(request, sizeof request);
}

bool RawClient::readReply(std::int32_t& status, std::uint32_t& value) {
  std::uint8_t reply[proto::REPLY_HEADER_SIZE];
  if (!recvAll(reply, sizeof reply)) return false;
  const proto::ReplyHeader header = proto::decodeReply(reply);
  status = header.status;
  value = header.value;
  return true;
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
