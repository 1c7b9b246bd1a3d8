// A TCP proxy on 127.0.0.1 that misbehaves like a poor Wi-Fi link: it delays
// pieces, stalls longer than the client's time-out, cuts connections in the
// middle of a piece, trickles bytes, and drops connections as they open.
//
//   fault_proxy --upstream 127.0.0.1:PORT [--seed N] [--rate X] [--stall-ms MS]
//
// The first line on standard output is "fault_proxy listening on
// 127.0.0.1:PORT". On SIGTERM or SIGINT it prints one line with the faults
// injected, "faults connections=N dropped=N delays=N stalls=N cuts=N
// trickles=N bytes=N", and exits 0. --rate scales every fault's chance
// (0 relays faithfully).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>

namespace {

struct Options {
  sockaddr_in upstream{};
  unsigned seed = 1;
  double rate = 1.0;
  int stallMs = 3500;  // the library gives up after 3000 ms without progress
};

struct Counters {
  std::atomic<long> connections{0}, dropped{0}, delays{0}, stalls{0}, cuts{0}, trickles{0}, bytes{0};
};

Options options;
Counters counters;

// Chances per piece relayed (a piece is what one recv returned, at most 16 KiB).
struct Chances {
  double drop = 0.01;      // per connection, before anything is relayed
  double delay = 0.03;     // 1..40 ms before the piece
  double stall = 0.0015;   // options.stallMs .. +1500 ms before the piece
  double cut = 0.002;      // part of the piece, then both sides closed
  double trickle = 0.006;  // the first 1..256 bytes one to eight at a time
};

// Both sockets of one relayed connection; the last direction to end closes them.
struct Link {
  Link(int clientFd, int serverFd) : client(clientFd), server(serverFd) {}
  const int client;
  const int server;
  std::atomic<bool> cut{false};
  ~Link() {
    ::close(client);
    ::close(server);
  }
  void cutBoth() {
    cut = true;
    ::shutdown(client, SHUT_RDWR);
    ::shutdown(server, SHUT_RDWR);
  }
};

bool sendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void sleepMs(long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void relay(std::shared_ptr<Link> link, int from, int to, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  auto roll = [&](double p) { return chance(random) < p * options.rate; };
  auto between = [&](long low, long high) { return std::uniform_int_distribution<long>(low, high)(random); };
  const Chances chances;
  char piece[16384];
  for (;;) {
    ssize_t n = ::recv(from, piece, sizeof piece, 0);
    if (n <= 0) break;
    const char* at = piece;
    std::size_t left = static_cast<std::size_t>(n);
    if (roll(chances.delay)) {
      ++counters.delays;
      sleepMs(between(1, 40));
    }
    if (roll(chances.stall)) {
      ++counters.stalls;
      sleepMs(between(options.stallMs, options.stallMs + 1500));
    }
    if (roll(chances.cut)) {
      ++counters.cuts;
      const std::size_t part = static_cast<std::size_t>(between(0, static_cast<long>(left) - 1));
      sendAll(to, at, part);
      counters.bytes += static_cast<long>(part);
      link->cutBoth();
      break;
    }
    if (roll(chances.trickle)) {
      ++counters.trickles;
      std::size_t slow = std::min<std::size_t>(left, static_cast<std::size_t>(between(1, 256)));
      while (slow > 0) {
        std::size_t step = std::min<std::size_t>(slow, static_cast<std::size_t>(between(1, 8)));
        if (!sendAll(to, at, step)) break;
        at += step;
        left -= step;
        slow -= step;
        counters.bytes += static_cast<long>(step);
        sleepMs(between(1, 4));
      }
    }
    if (!sendAll(to, at, left)) break;
    counters.bytes += static_cast<long>(left);
  }
  // One side ended: pass the end on, so a close travels like it would.
  ::shutdown(to, SHUT_WR);
  if (link->cut) return;
  ::shutdown(from, SHUT_RD);
}

bool parseAddress(const char* text, sockaddr_in& address) {
  std::string s(text);
  std::size_t colon = s.rfind(':');
  if (colon == std::string::npos) return false;
  address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(s.c_str() + colon + 1)));
  return inet_pton(AF_INET, s.substr(0, colon).c_str(), &address.sin_addr) == 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool haveUpstream = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string flag = argv[i];
    if (flag == "--upstream") haveUpstream = parseAddress(argv[i + 1], options.upstream);
    else if (flag == "--seed") options.seed = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
    else if (flag == "--rate") options.rate = std::strtod(argv[i + 1], nullptr);
    else if (flag == "--stall-ms") options.stallMs = std::atoi(argv[i + 1]);
    else haveUpstream = false;
  }
  if (!haveUpstream || argc % 2 == 0) {
    std::fprintf(stderr, "usage: fault_proxy --upstream HOST:PORT [--seed N] [--rate X] [--stall-ms MS]\n");
    return 2;
  }

  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // before any thread: all inherit it
  signal(SIGPIPE, SIG_IGN);
  int stopFd = signalfd(-1, &stop, SFD_CLOEXEC);

  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof local;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::listen(listener, SOMAXCONN) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    std::perror("fault_proxy: listen");
    return 1;
  }
  std::printf("fault_proxy listening on 127.0.0.1:%u\n", ntohs(local.sin_port));
  std::fflush(stdout);

  std::mt19937 random(options.seed);
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  const Chances chances;
  for (;;) {
    pollfd fds[2] = {{listener, POLLIN, 0}, {stopFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) break;
    int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    ++counters.connections;
    if (chance(random) < chances.drop * options.rate) {
      ++counters.dropped;
      ::close(client);
      continue;
    }
    int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0 || ::connect(server, reinterpret_cast<const sockaddr*>(&options.upstream), sizeof options.upstream) != 0) {
      if (server >= 0) ::close(server);
      ::close(client);
      continue;
    }
    int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    auto link = std::make_shared<Link>(client, server);
    std::thread(relay, link, client, server, static_cast<unsigned>(random())).detach();
    std::thread(relay, link, server, client, static_cast<unsigned>(random())).detach();
  }
  std::printf("faults connections=%ld dropped=%ld delays=%ld stalls=%ld cuts=%ld trickles=%ld bytes=%ld\n",
              counters.connections.load(), counters.dropped.load(), counters.delays.load(), counters.stalls.load(),
              counters.cuts.load(), counters.trickles.load(), counters.bytes.load());
  std::fflush(stdout);
  // Relays still running are cut off by the exit; nothing they hold needs saving.
  _exit(0);
}
