// The shaping relay the link benchmarks run through: what it delivers is what
// was sent, and no sooner than the delay and the rate allow. Only lower
// bounds are exact; the upper ones catch a unit slip, not a slow machine.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "bytes.h"
#include "link_proxy.h"
#include "socket_io.h"

namespace korvex::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Seconds a run may take beyond its lower bound: room for a loaded machine
// under a sanitizer, still far below what a millisecond-for-second slip costs.
constexpr double kSlack = 5.0;

// Answers exchanges on every connection: a header of two sizes (up, down),
// then `up` bytes that must carry patternBytes(up), then it sends
// patternBytes(down, 2). A wrong byte closes the connection.
class ExchangeServer {
 public:
  ExchangeServer() {
    listener_ = loopback::listenLoopback(64, port_);
    if (listener_ != loopback::kNoSocket) acceptor_ = std::thread([this] { acceptLoop(); });
  }
  ~ExchangeServer() {
    loopback::shutdownBoth(listener_);
    if (acceptor_.joinable()) acceptor_.join();
    {
      std::lock_guard lock(mutex_);
      for (const loopback::Socket s : clients_) loopback::shutdownBoth(s);
    }
    for (std::thread& t : workers_) t.join();
    for (const loopback::Socket s : clients_) loopback::closeSocket(s);
    loopback::closeSocket(listener_);
  }
  std::uint16_t port() const { return port_; }

 private:
  void acceptLoop() {
    for (;;) {
      const loopback::Socket client = loopback::acceptClient(listener_);
      if (client == loopback::kNoSocket) return;
      loopback::sendAtOnce(client);
      std::lock_guard lock(mutex_);
      clients_.push_back(client);
      workers_.emplace_back([client] { serve(client); });
    }
  }
  static void serve(loopback::Socket client) {
    for (;;) {
      std::uint32_t sizes[2];
      if (!loopback::receiveAll(client, sizes, sizeof sizes)) return;
      Bytes got(sizes[0]);
      if (!loopback::receiveAll(client, got.data(), got.size()) || got != patternBytes(sizes[0])) {
        loopback::shutdownBoth(client);
        return;
      }
      const Bytes answer = patternBytes(sizes[1], 2);
      if (!loopback::sendAll(client, answer.data(), answer.size())) return;
    }
  }

  loopback::Socket listener_ = loopback::kNoSocket;
  std::uint16_t port_ = 0;
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<loopback::Socket> clients_;
  std::vector<std::thread> workers_;
};

class Client {
 public:
  explicit Client(std::uint16_t port) : socket_(loopback::connectLoopback(port)) {
    if (socket_ != loopback::kNoSocket) loopback::sendAtOnce(socket_);
  }
  ~Client() { loopback::closeSocket(socket_); }

  // Seconds from the first byte sent to the last received; -1 when the
  // connection failed or the answer was wrong.
  double exchange(std::uint32_t up, std::uint32_t down) {
    const auto start = Clock::now();
    const std::uint32_t sizes[2] = {up, down};
    const Bytes payload = patternBytes(up);
    if (!loopback::sendAll(socket_, sizes, sizeof sizes) || !loopback::sendAll(socket_, payload.data(), payload.size()))
      return -1;
    Bytes answer(down);
    if (!loopback::receiveAll(socket_, answer.data(), answer.size()) || answer != patternBytes(down, 2)) return -1;
    return std::chrono::duration<double>(Clock::now() - start).count();
  }

 private:
  loopback::Socket socket_;
};

LinkShape shape(int delayMs, double mbit) { return {std::chrono::milliseconds(delayMs), mbit * 1e6}; }

TEST(LinkProxyTest, AnExchangeTakesTheDelayBothWaysAndEachDirectionsSerialisation) {
  struct Case {
    const char* what;
    int delayMs;
    double mbit;  // 0: no limit
    std::uint32_t up, down;
  };
  const Case cases[] = {
      {"no shaping passes bytes unchanged", 0, 0, 300'000, 300'000},
      {"a small round trip pays the delay twice", 40, 0, 1, 1},
      {"the upstream is rate-limited", 0, 32, 1 << 20, 1},
      {"the downstream is rate-limited", 0, 32, 1, 1 << 20},
      {"delay and serialisation add up", 10, 64, 256 << 10, 256 << 10},
  };
  ExchangeServer server;
  ASSERT_NE(0, server.port());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LinkProxy proxy(server.port(), shape(c.delayMs, c.mbit));
    ASSERT_TRUE(proxy.listening());
    Client client(proxy.port());
    ASSERT_GT(client.exchange(1, 1), 0);  // the connect's extra round trip is not measured below
    const double took = client.exchange(c.up, c.down);
    ASSERT_GE(took, 0);
    const double serialising = c.mbit > 0 ? (c.up + c.down + 8.0) * 8 / (c.mbit * 1e6) : 0;
    const double least = 2 * c.delayMs / 1000.0 + serialising;
    EXPECT_GE(took, least);
    EXPECT_LT(took, least + kSlack);
  }
}

TEST(LinkProxyTest, ANewConnectionsFirstExchangePaysTheHandshake) {
  ExchangeServer server;
  LinkProxy proxy(server.port(), shape(30, 0));
  ASSERT_TRUE(proxy.listening());
  const auto start = Clock::now();
  Client client(proxy.port());
  ASSERT_GT(client.exchange(1, 1), 0);
  const double took = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_GE(took, 4 * 0.030);
  EXPECT_LT(took, 4 * 0.030 + kSlack);
}

TEST(LinkProxyTest, ConnectionsShareEachDirectionsRate) {
  ExchangeServer server;
  LinkProxy proxy(server.port(), shape(0, 32));
  ASSERT_TRUE(proxy.listening());
  constexpr int kConnections = 3;
  constexpr std::uint32_t kEach = 256 << 10;
  std::vector<double> took(kConnections, -1);
  const auto start = Clock::now();
  {
    std::vector<std::thread> senders;
    for (int i = 0; i < kConnections; ++i) {
      senders.emplace_back([&, i] {
        Client client(proxy.port());
        took[i] = client.exchange(kEach, 1);
      });
    }
    for (std::thread& t : senders) t.join();
  }
  const double all = std::chrono::duration<double>(Clock::now() - start).count();
  for (const double t : took) EXPECT_GE(t, 0);
  // Alone, each would take a third of this.
  const double least = kConnections * kEach * 8.0 / 32e6;
  EXPECT_GE(all, least);
  EXPECT_LT(all, least + kSlack);
  EXPECT_EQ(static_cast<std::uint64_t>(kConnections), proxy.accepted());
}

TEST(LinkProxyTest, AClosedSideEndsTheConnectionAndStopEndsTheRest) {
  ExchangeServer server;
  LinkProxy proxy(server.port(), shape(5, 0));
  ASSERT_TRUE(proxy.listening());
  {
    Client closing(proxy.port());
    ASSERT_GT(closing.exchange(10, 10), 0);
  }
  Client open(proxy.port());
  ASSERT_GT(open.exchange(10, 10), 0);
  const auto until = Clock::now() + 2s;
  while (proxy.finished() < 1 && Clock::now() < until) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(1u, proxy.finished());
  EXPECT_EQ(2u, proxy.accepted());
  proxy.stop();
  EXPECT_EQ(2u, proxy.finished());
  EXPECT_LT(open.exchange(10, 10), 0);
}

TEST(LinkProxyTest, NothingToRelayToEndsTheClientsConnection) {
  std::uint16_t freePort = 0;
  const loopback::Socket gone = loopback::listenLoopback(1, freePort);
  loopback::closeSocket(gone);
  LinkProxy proxy(freePort, shape(0, 0));
  ASSERT_TRUE(proxy.listening());
  Client client(proxy.port());
  EXPECT_LT(client.exchange(1, 1), 0);
}

}  // namespace
}  // namespace korvex::test
