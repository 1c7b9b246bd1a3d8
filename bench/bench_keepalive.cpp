// Keep-alive load: many library sessions (Connect) held open at once. A
// child process holds the sessions while this process runs a minimal peer
// (one epoll thread) that logs every session in, answers each keep-alive at
// once and records when it arrived. Reported: the child's CPU share and
// resident memory over the window, and the gaps between keep-alives per
// connection. The reference is a child with as many bare threads, each
// pinging on its own connection with the same period, measured in the same run.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bytes.h"
#include "common.h"
#include "korvex.h"
#include "raw_client.h"
#include "protocol.h"
#include "socket_io.h"

using namespace korvex::bench;
namespace proto = korvex::protocol;

namespace {

constexpr std::size_t kPasswordBytes = proto::PASSWORD_BLOCK_SIZE;
constexpr std::size_t kCodeBytes = proto::CODE_SIZE;
constexpr double kLateLimitSeconds = (proto::KEEPALIVE_PERIOD_MS + 100) / 1000.0;

// ---- the peer --------------------------------------------------------------

class KeepalivePeer {
 public:
  struct Stats {
    std::size_t connections = 0;
    std::size_t silent = 0;  // logged in, never sent a keep-alive
    std::size_t keepalives = 0;
    std::vector<double> gaps;  // seconds between consecutive keep-alives
    double maxOpen = 0;        // longest silence still running at the window's end
    std::size_t late = 0;      // gaps (or open silences) over the limit
  };

  bool start() {
    std::uint16_t port = 0;
    listenFd_ = static_cast<int>(korvex::test::loopback::listenLoopback(4096, port));
    if (listenFd_ < 0 || fcntl(listenFd_, F_SETFL, O_NONBLOCK) != 0) {
      std::perror("peer listen");
      return false;
    }
    port_ = port;
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listenFd_;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &event);
    std::thread([this] { loop(); }).detach();
    return true;
  }

  std::uint16_t port() const { return port_; }
  // Connections accepted from now on belong to `phase`.
  void setPhase(int phase) { phase_.store(phase); }

  // Gaps of `phase` whose later keep-alive arrived by `end`.
  Stats collect(int phase, double end) {
    std::lock_guard<std::mutex> lock(mutex_);
    Stats stats;
    for (const auto& [fd, c] : connections_) {
      if (c.phase != phase || !c.loggedIn) continue;
      ++stats.connections;
      double last = -1;
      for (double at : c.arrivals) {
        if (at > end) break;
        ++stats.keepalives;
        if (last >= 0) {
          stats.gaps.push_back(at - last);
          if (at - last > kLateLimitSeconds) ++stats.late;
        }
        last = at;
      }
      if (last < 0) {
        ++stats.silent;
        continue;
      }
      const double open = end - last;
      stats.maxOpen = std::max(stats.maxOpen, open);
      if (open > kLateLimitSeconds) ++stats.late;
    }
    return stats;
  }

 private:
  struct Conn {
    int phase = 0;
    bool loggedIn = false;
    std::size_t loginBytes = 0;
    std::uint8_t code[proto::CODE_SIZE] = {};
    std::size_t codeBytes = 0;
    std::vector<double> arrivals;
  };

  void loop() {
    std::vector<epoll_event> events(256);
    std::uint8_t buffer[4096];
    for (;;) {
      const int n = epoll_wait(epollFd_, events.data(), static_cast<int>(events.size()), -1);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;
      }
      const double now = nowSeconds();
      std::lock_guard<std::mutex> lock(mutex_);
      for (int i = 0; i < n; ++i) {
        const int fd = events[static_cast<std::size_t>(i)].data.fd;
        if (fd == listenFd_) {
          acceptAll();
          continue;
        }
        auto found = connections_.find(fd);
        if (found == connections_.end()) continue;
        Conn& c = found->second;
        for (;;) {
          const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
          if (got < 0 && errno == EINTR) continue;
          if (got <= 0) {
            if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) drop(fd);
            break;
          }
          if (!consume(fd, c, buffer, static_cast<std::size_t>(got), now)) {
            drop(fd);
            break;
          }
        }
      }
    }
  }

  void acceptAll() {
    for (;;) {
      const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) return;
      Conn& c = connections_[fd];
      c = Conn{};
      c.phase = phase_.load();
      c.arrivals.reserve(64);
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.fd = fd;
      epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event);
    }
  }

  // A closed connection keeps its record (under a fresh key) for collect().
  void drop(int fd) {
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    auto node = connections_.extract(fd);
    node.key() = --closedKey_;
    connections_.insert(std::move(node));
  }

  static bool sendSmall(int fd, const void* data, std::size_t size) {
    // A few dozen bytes always fit an idle loopback socket's buffer.
    return ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(size);
  }

  bool consume(int fd, Conn& c, const std::uint8_t* data, std::size_t size, double now) {
    while (size > 0) {
      if (!c.loggedIn) {
        const std::size_t take = std::min(size, kPasswordBytes - c.loginBytes);
        c.loginBytes += take;
        data += take;
        size -= take;
        if (c.loginBytes == kPasswordBytes) {
          static const korvex::test::Bytes welcome = korvex::test::loginAnswer("keepalive-peer");
          if (!sendSmall(fd, welcome.data(), welcome.size())) return false;
          c.loggedIn = true;
        }
        continue;
      }
      const std::size_t take = std::min(size, kCodeBytes - c.codeBytes);
      std::memcpy(c.code + c.codeBytes, data, take);
      c.codeBytes += take;
      data += take;
      size -= take;
      if (c.codeBytes < kCodeBytes) continue;
      c.codeBytes = 0;
      if (proto::getWord(c.code) != proto::CMD_KEEPALIVE) return false;  // nothing else is expected
      c.arrivals.push_back(now);
      const proto::ReplyBytes reply = proto::encodeReply(0, 0);
      if (!sendSmall(fd, reply.data(), reply.size())) return false;
    }
    return true;
  }

  int listenFd_ = -1;
  int epollFd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<int> phase_{0};
  int closedKey_ = 0;
  std::mutex mutex_;
  std::unordered_map<int, Conn> connections_;
};

// ---- the children ----------------------------------------------------------

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

void sleepSeconds(double seconds) {
  timespec ts{static_cast<time_t>(seconds), static_cast<long>((seconds - static_cast<double>(static_cast<time_t>(seconds))) * 1e9)};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// After the sessions are up: the measured window, then the result line.
[[noreturn]] void measureAndReport(const char* role, int wanted, int connected, double connectSeconds, long baseKiB,
                                   double duration) {
  const double cpu0 = cpuSeconds();
  const double t0 = nowSeconds();
  sleepSeconds(duration);
  const double cpu1 = cpuSeconds();
  const double t1 = nowSeconds();
  const long rss = residentKiB();
  std::printf("RESULT role=%s wanted=%d connected=%d connect_s=%.6f t0=%.6f t1=%.6f cpu_s=%.6f rss_kib=%ld base_kib=%ld\n",
              role, wanted, connected, connectSeconds, t0, t1, cpu1 - cpu0, rss, baseKiB);
  // Sessions end with the process; the kernel closes their sockets.
  finish(0);
}

[[noreturn]] void runLibrary(std::uint16_t port, int sessions, double duration) {
  const long base = residentKiB();
  const std::string address = "127.0.0.1:" + std::to_string(port);
  const double start = nowSeconds();
  int connected = 0;
  for (int i = 0; i < sessions; ++i) {
    int error = 0;
    if (Connect(address.c_str(), kPassword, &error)) ++connected;
  }
  measureAndReport("library", sessions, connected, nowSeconds() - start, base, duration);
}

std::atomic<int> referenceUp{0};
std::atomic<int> referenceFailed{0};

void referencePinger(std::uint16_t port) {
  korvex::test::RawClient client(port, korvex::test::RawClient::Waits::Blocking);
  if (!client.connected() || !client.login(kPassword)) {
    referenceFailed.fetch_add(1);
    return;
  }
  referenceUp.fetch_add(1);
  for (;;) {
    if (!client.request(proto::CMD_KEEPALIVE) || !client.reply()) return;
    sleepSeconds(proto::KEEPALIVE_PERIOD_MS / 1000.0);
  }
}

[[noreturn]] void runReference(std::uint16_t port, int sessions, double duration) {
  const long base = residentKiB();
  const double start = nowSeconds();
  for (int i = 0; i < sessions; ++i) std::thread(referencePinger, port).detach();
  while (referenceUp.load() + referenceFailed.load() < sessions && nowSeconds() - start < 60) usleep(1000);
  measureAndReport("reference", sessions, referenceUp.load(), nowSeconds() - start, base, duration);
}

// ---- the orchestrator ------------------------------------------------------

struct ChildResult {
  std::map<std::string, std::string> values;
  double number(const std::string& key) const {
    const auto found = values.find(key);
    return found == values.end() ? 0 : std::atof(found->second.c_str());
  }
};

bool runChild(const std::string& role, std::uint16_t port, int sessions, double duration,
              const std::filesystem::path& output, ChildResult& result) {
  char self[4096] = {};
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return false;
  std::filesystem::remove(output);
  const int status = runToEnd({self, "--role", role, "--port", std::to_string(port), "--sessions",
                               std::to_string(sessions), "--duration", format("%.0f", duration)},
                              output.string(), duration + 180);
  std::ifstream in(output);
  std::string line;
  bool found = false;
  while (std::getline(in, line)) {
    if (line.rfind("RESULT ", 0) != 0) continue;
    std::istringstream fields(line.substr(7));
    std::string field;
    while (fields >> field) {
      const std::size_t eq = field.find('=');
      if (eq != std::string::npos) result.values[field.substr(0, eq)] = field.substr(eq + 1);
    }
    found = true;
  }
  if (status != 0 || !found) {
    std::fprintf(stderr, "%s child failed (status %d); its output:\n", role.c_str(), status);
    std::ifstream again(output);
    std::fprintf(stderr, "%s\n", std::string(std::istreambuf_iterator<char>(again), {}).c_str());
    return false;
  }
  return true;
}

struct PhaseFigures {
  double cpuPercent = 0;
  double rssMiB = 0;
  KeepalivePeer::Stats stats;
  int connected = 0;
  double connectSeconds = 0;
};

void printPhase(const char* label, const PhaseFigures& f, int sessions) {
  const double maxGap = f.stats.gaps.empty() ? 0 : percentile(f.stats.gaps, 100);
  std::printf("%-9s sessions %d/%d (up in %.2f s)  CPU %.2f%% of one core  RSS +%.1f MiB  "
              "keep-alives %zu, gap p50 %.1f ms p99 %.1f ms max %.1f ms, longest open silence %.1f ms, late %zu, "
              "silent %zu\n",
              label, f.connected, sessions, f.connectSeconds, f.cpuPercent, f.rssMiB, f.stats.keepalives,
              percentile(f.stats.gaps, 50) * 1e3, percentile(f.stats.gaps, 99) * 1e3, maxGap * 1e3,
              f.stats.maxOpen * 1e3, f.stats.late, f.stats.silent);
}

}  // namespace

int main(int argc, char** argv) {
  Flags flags(argc, argv, {"quick", "workdir", "sessions", "duration", "rounds", "role", "port"});
  const bool quick = flags.has("quick");
  const int sessions = static_cast<int>(flags.number("sessions", 1000));
  const double duration = static_cast<double>(flags.number("duration", quick ? 5 : 60));
  const int rounds = static_cast<int>(flags.number("rounds", quick ? 1 : 2));
  raiseDescriptorLimit(static_cast<std::uint64_t>(sessions) * 2 + 256);

  const std::string role = flags.text("role", "");
  if (!role.empty()) {
    armWatchdog(static_cast<int>(duration) + 120);
    const auto port = static_cast<std::uint16_t>(flags.number("port", 0));
    if (role == "library") runLibrary(port, sessions, duration);
    if (role == "reference") runReference(port, sessions, duration);
    std::fprintf(stderr, "unknown role %s\n", role.c_str());
    return 2;
  }

  armWatchdog(static_cast<int>(duration) * 2 * rounds + 600);
  std::printf("== keep-alive load: %d sessions held %.0f s, library and reference in separate processes, %d round(s)\n",
              sessions, duration, rounds);
  ScratchDir scratch(flags.text("workdir", ""), "korvex-bench-keepalive");
  KeepalivePeer peer;
  if (!peer.start()) finish(1);

  // Rounds alternate the order (reference first, then library first, ...)
  // so a drift in the machine's state does not favour one side.
  const char* const roles[2] = {"reference", "library"};
  std::vector<double> cpu[2], rss[2];
  KeepalivePeer::Stats pooled[2];
  int phaseId = 0;
  for (int r = 0; r < rounds; ++r) {
    for (int step = 0; step < 2; ++step) {
      const int side = (step + r) % 2;  // 0 reference, 1 library
      peer.setPhase(++phaseId);
      ChildResult result;
      if (!runChild(roles[side], peer.port(), sessions, duration,
                    scratch.path() / (std::string(roles[side]) + ".out"), result)) {
        finish(1);
      }
      PhaseFigures f;
      f.connected = static_cast<int>(result.number("connected"));
      f.connectSeconds = result.number("connect_s");
      f.cpuPercent = 100 * result.number("cpu_s") / (result.number("t1") - result.number("t0"));
      f.rssMiB = (result.number("rss_kib") - result.number("base_kib")) / 1024;
      f.stats = peer.collect(phaseId, result.number("t1"));
      std::printf("round %d  ", r + 1);
      printPhase(roles[side], f, sessions);
      std::fflush(stdout);
      if (f.connected != sessions) {
        std::fprintf(stderr, "%s: only %d of %d sessions came up\n", roles[side], f.connected, sessions);
        finish(1);
      }
      cpu[side].push_back(f.cpuPercent);
      rss[side].push_back(f.rssMiB);
      KeepalivePeer::Stats& all = pooled[side];
      all.connections += f.stats.connections;
      all.silent += f.stats.silent;
      all.keepalives += f.stats.keepalives;
      all.late += f.stats.late;
      all.maxOpen = std::max(all.maxOpen, f.stats.maxOpen);
      all.gaps.insert(all.gaps.end(), f.stats.gaps.begin(), f.stats.gaps.end());
    }
  }
  scratch.remove();

  const double libCpu = median(cpu[1]), refCpu = median(cpu[0]);
  const double libRss = median(rss[1]), refRss = median(rss[0]);
  const KeepalivePeer::Stats& lib = pooled[1];
  const KeepalivePeer::Stats& ref = pooled[0];
  const double libMax = std::max(lib.gaps.empty() ? 0 : percentile(lib.gaps, 100), lib.maxOpen);
  const double refMax = std::max(ref.gaps.empty() ? 0 : percentile(ref.gaps, 100), ref.maxOpen);
  std::printf("medians over %d round(s): CPU library %.2f%% reference %.2f%% (ratio %.3f); "
              "RSS library +%.1f MiB reference +%.1f MiB (ratio %.3f)\n",
              rounds, libCpu, refCpu, libCpu / refCpu, libRss, refRss, libRss / refRss);
  std::printf("keep-alive gaps, all rounds: library p99 %.1f ms max %.1f ms late %zu silent %zu; "
              "reference p99 %.1f ms max %.1f ms late %zu\n",
              percentile(lib.gaps, 99) * 1e3, libMax * 1e3, lib.late, lib.silent, percentile(ref.gaps, 99) * 1e3,
              refMax * 1e3, ref.late);
  summaryLine(format("%d sessions: CPU share", sessions), format("%.2f%% core", libCpu),
              format("%.2f%% core", refCpu), libCpu / refCpu, "<= 1.20", libCpu / refCpu <= 1.2);
  summaryLine(format("%d sessions: resident memory", sessions), format("%.1f MiB", libRss),
              format("%.1f MiB", refRss), libRss / refRss, "<= 1.10", libRss / refRss <= 1.1);
  infoLine(format("%d sessions: per session", sessions),
           format("CPU %.4f%% core, memory %.1f KiB", libCpu / sessions, libRss * 1024 / sessions));
  summaryLine(format("%d sessions: keep-alive gap max (p99)", sessions),
              format("%.0f ms (%.0f ms)", libMax * 1e3, percentile(lib.gaps, 99) * 1e3),
              format("%.0f ms (%.0f ms)", refMax * 1e3, percentile(ref.gaps, 99) * 1e3), libMax / refMax,
              "<= 1600 ms", lib.late == 0 && lib.silent == 0);
  finish(0);
}
