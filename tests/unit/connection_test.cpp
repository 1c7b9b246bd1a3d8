// The transport: address parsing, share counting, time-outs, partial replies
// and a close from another thread.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "net/host_address.h"
#include "net/tcp_connector.h"
#include "scripted_peer.h"

namespace korvex {
namespace {

using test::Bytes;
using test::ScriptedPeer;
using Clock = std::chrono::steady_clock;

TEST(DottedQuad, StrictRules) {
  std::array<std::uint8_t, 4> out{9, 9, 9, 9};
  EXPECT_TRUE(isDottedQuad("1.0.0.1", &out));
  EXPECT_EQ((std::array<std::uint8_t, 4>{1, 0, 0, 1}), out);
  EXPECT_TRUE(isDottedQuad("1..2.3", &out));  // an empty middle part reads as 0
  EXPECT_EQ((std::array<std::uint8_t, 4>{1, 0, 2, 3}), out);
  EXPECT_TRUE(isDottedQuad("010.1.1.9", &out));  // leading zeros are decimal
  EXPECT_EQ(10, out[0]);

  out = {7, 7, 7, 7};
  for (const char* bad : {"0.1.2.3", "1.2.3.0", " 1.2.3.4", "\t1.2.3.4", "1.2.3", "1.2.3.4.5", "256.1.1.1",
                          "1.2.3.4x", "1. 2.3.4", "", "host.example"}) {
    EXPECT_FALSE(isDottedQuad(bad, &out)) << bad;
  }
  EXPECT_EQ((std::array<std::uint8_t, 4>{7, 7, 7, 7}), out);
  EXPECT_TRUE(isDottedQuad("127.0.0.1", nullptr));
}

TEST(HostAddressText, PortAfterFirstColon) {
  EXPECT_EQ(990, HostAddress("10.0.0.5:990", 2323).port());
  EXPECT_EQ("10.0.0.5", HostAddress("10.0.0.5:990", 2323).host());
  EXPECT_EQ(2323, HostAddress("10.0.0.5:", 2323).port());
  EXPECT_EQ(2323, HostAddress("10.0.0.5:abc", 2323).port());
  EXPECT_EQ(12, HostAddress("h:12x", 2323).port());       // atoi stops at the first non-digit
  EXPECT_EQ(1, HostAddress("h:65537", 2323).port());      // low 16 bits
  EXPECT_EQ(80, HostAddress("h", 65616).port());          // the given port, cut to 16 bits
}

TEST(HostAddressText, ResolvesDottedQuadAndNames) {
  HostAddress dotted("127.0.0.1", 1);
  dotted.resolve();
  EXPECT_TRUE(dotted.resolved());
  EXPECT_EQ((std::array<std::uint8_t, 4>{127, 0, 0, 1}), dotted.address());
  HostAddress name("localhost", 1);
  name.resolve();
  ASSERT_TRUE(name.resolved());
  EXPECT_EQ(127, name.address()[0]);
  HostAddress missing("no-such-host.invalid", 1);
  missing.resolve();
  EXPECT_FALSE(missing.resolved());
}

// A connector on a scripted peer, with its connection copied out as the
// session does it.
struct Connected {
  ScriptedPeer peer;
  Connection connection;

  Connected() {
    TcpConnector connector(true);
    connector.setTarget(peer.address(), 1, true);
    EXPECT_TRUE(connector.connect());
    connection = connector.connection();
    EXPECT_EQ(2, connection.shareCount());
    connector.close();
    EXPECT_TRUE(peer.accept());
    connection.setTimeout(300);
  }
};

TEST(Connector, RefusesWhileLiveAndReportsFailures) {
  ScriptedPeer peer;
  TcpConnector connector(true);
  connector.setTarget(peer.address(), 1, true);
  ASSERT_TRUE(connector.connect());
  EXPECT_FALSE(connector.connect());
  EXPECT_EQ(1, connector.connection().shareCount());

  const std::uint16_t closedPort = [] {
    ScriptedPeer gone;
    return gone.port();
  }();
  TcpConnector refused(true);
  refused.setTarget("127.0.0.1:" + std::to_string(closedPort), 1, true);
  EXPECT_FALSE(refused.connect());
  TcpConnector unresolved(true);
  unresolved.setTarget("no-such-host.invalid", 2323, true);
  EXPECT_FALSE(unresolved.connect());
}

TEST(ConnectionShares, LastShareClosesTheSocket) {
  Connected c;
  Connection copy;
  copy = c.connection;
  EXPECT_EQ(2, copy.shareCount());
  copy = copy;  // self-assignment changes nothing
  EXPECT_EQ(2, copy.shareCount());
  copy.close();
  EXPECT_FALSE(copy.live());
  copy.close();  // twice is harmless
  EXPECT_EQ(1, c.connection.shareCount());
  EXPECT_FALSE(c.peer.clientClosed(100));
  c.connection.close();
  EXPECT_TRUE(c.peer.clientClosed());
}

TEST(ConnectionShares, AssigningOverALiveConnectionDropsItsOldShare) {
  Connected a;
  Connected b;
  Connection holder = a.connection;
  a.connection.close();
  holder = b.connection;  // holder's share of a's socket was the last one
  EXPECT_TRUE(a.peer.clientClosed());
  EXPECT_EQ(2, b.connection.shareCount());
}

TEST(ConnectionIo, ZeroSizesAndDeadConnections) {
  Connected c;
  int got = 77;
  EXPECT_EQ(0, c.connection.writeAll("x", 0));
  EXPECT_EQ(1, c.connection.readExactly(nullptr, 0, &got));
  EXPECT_EQ(0, got);
  Connection dead;
  got = 77;
  EXPECT_EQ(-1, dead.readExactly(&got, 4, &got));
  EXPECT_EQ(77, got);
  EXPECT_EQ(-1, dead.writeAll("abcd", 4));
}

TEST(ConnectionIo, PartialReplyThenCloseOrStall) {
  Connected c;
  std::uint8_t buffer[40];
  int got = 0;
  c.peer.send(test::zeros(10));
  const auto start = Clock::now();
  EXPECT_EQ(0, c.connection.readExactly(buffer, 40, &got));  // stall: time-out
  EXPECT_EQ(10, got);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(250));
  c.peer.send(test::zeros(5));
  c.peer.close();
  EXPECT_EQ(-1, c.connection.readExactly(buffer, 40, &got));
  EXPECT_EQ(5, got);
}

TEST(ConnectionIo, ReadsNoMoreThanAsked) {
  Connected c;
  c.peer.send(test::concat({Bytes(4, 1), Bytes(4, 2)}));
  std::uint8_t first[4];
  std::uint8_t second[4];
  int got = 0;
  ASSERT_EQ(1, c.connection.readExactly(first, 4, &got));
  ASSERT_EQ(1, c.connection.readExactly(second, 4, &got));
  EXPECT_EQ(1, first[3]);
  EXPECT_EQ(2, second[0]);
}

TEST(ConnectionIo, BytesArriveIntactBothWays) {
  Connected c;
  Bytes out(100000);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(i * 7);
  auto reader = std::async(std::launch::async, [&] { return c.peer.read(out.size()); });
  EXPECT_EQ(static_cast<int>(out.size()), c.connection.writeAll(out.data(), static_cast<int>(out.size()), 3000));
  EXPECT_EQ(out, reader.get());
}

TEST(ConnectionIo, CloseFromAnotherThreadEndsAPendingReadAtOnce) {
  Connected c;
  c.connection.setTimeout(10000);
  auto reader = std::async(std::launch::async, [&] {
    std::uint8_t buffer[40];
    int got = 0;
    return c.connection.readExactly(buffer, 40, &got);
  });
  // Let the reader reach its wait; the result holds whenever it gets there.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto start = Clock::now();
  c.connection.close();
  ASSERT_EQ(std::future_status::ready, reader.wait_for(std::chrono::seconds(2)));
  EXPECT_EQ(-1, reader.get());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_TRUE(c.peer.clientClosed());
}

TEST(ConnectionIo, CloseFromAnotherThreadEndsABlockedWrite) {
  Connected c;
  c.connection.setTimeout(10000);
  // More than the socket buffers hold; the peer reads nothing. Made before
  // the writer starts, so a slow machine spends the wait below in the write.
  Bytes big(64 << 20);
  auto writer = std::async(std::launch::async, [&] {
    return c.connection.writeAll(big.data(), static_cast<int>(big.size()));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  c.connection.close();
  ASSERT_EQ(std::future_status::ready, writer.wait_for(std::chrono::seconds(2)));
  const int sent = writer.get();
  EXPECT_LT(sent, 64 << 20);
}

}  // namespace
}  // namespace korvex
