// The keep-alive thread over a scripted peer: its rhythm, how it notices a
// dead link, and how it stops.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "protocol.h"
#include "session_fixture.h"

namespace korvex::test {
namespace {

using namespace protocol;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The first comes a whole period after the login, which has just proved
// the link: one sent at once would hold up the caller's first command.
TEST(KeepAlive, ArrivesAboutEvery1500MsFromTheLogin) {
  PeerSession s;
  std::vector<Clock::time_point> arrivals{Clock::now()};
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(word(CMD_KEEPALIVE), s.peer.read(4, 3000));
    arrivals.push_back(Clock::now());
    s.peer.send(Bytes(40, 0xA5));  // any 40 bytes prove the link alive
  }
  for (std::size_t i = 1; i < arrivals.size(); ++i) {
    const auto gap = arrivals[i] - arrivals[i - 1];
    EXPECT_GT(gap, milliseconds(1400));
    EXPECT_LT(gap, milliseconds(2200));
  }
  EXPECT_EQ(1, connectedFlag(s.handle));
}

TEST(KeepAlive, SilentPeerDisconnectsTheSession) {
  PeerSession s;
  ASSERT_EQ(word(CMD_KEEPALIVE), s.peer.read(4));
  const auto sent = Clock::now();
  EXPECT_EQ(1, connectedFlag(s.handle));
  ASSERT_TRUE(waitUntilDisconnected(s.handle, milliseconds(5000)));
  EXPECT_GT(Clock::now() - sent, milliseconds(2700));
  EXPECT_TRUE(s.peer.clientClosed());
  const auto start = Clock::now();
  EXPECT_EQ(0, FileSize(s.handle, "/f"));
  EXPECT_FALSE(CreatePhoneDirectory(s.handle, "/d"));
  EXPECT_LT(Clock::now() - start, milliseconds(100));
}

TEST(KeepAlive, PartialReplyCountsAsBroken) {
  PeerSession s;
  ASSERT_EQ(word(CMD_KEEPALIVE), s.peer.read(4));
  s.peer.send(zeros(39));
  ASSERT_TRUE(waitUntilDisconnected(s.handle, milliseconds(5000)));
  EXPECT_TRUE(s.peer.clientClosed());
}

TEST(KeepAlive, LongExchangeDelaysButDoesNotBreakIt) {
  PeerSession s;
  ASSERT_EQ(word(CMD_KEEPALIVE), s.peer.read(4));
  s.peer.send(reply(0));
  auto size = std::async(std::launch::async, [&] { return FileSize(s.handle, "/slow"); });
  ASSERT_EQ(concat({word(CMD_FILE_SIZE), pathField("/slow")}), s.peer.read(1028));
  // Longer than a keep-alive period, shorter than the time-out.
  EXPECT_TRUE(s.peer.read(1, 2500).empty());
  s.peer.send(reply(0, 42));
  EXPECT_EQ(42, size.get());
  ASSERT_EQ(word(CMD_KEEPALIVE), s.peer.read(4, 500));  // the overdue keep-alive follows at once
  s.peer.send(reply(0));
  EXPECT_EQ(1, connectedFlag(s.handle));
}

TEST(KeepAlive, ShutdownDuringThePauseEndsTheThreadAtOnce) {
  PeerSession s;
  ASSERT_EQ(word(CMD_KEEPALIVE), s.peer.read(4));
  s.peer.send(reply(0));
  std::this_thread::sleep_for(milliseconds(100));  // into the pause
  const auto start = Clock::now();
  s.session().shutdown();
  s.session().join();
  EXPECT_LT(Clock::now() - start, milliseconds(300));
  EXPECT_EQ(1, connectedFlag(s.handle));  // a shutdown is not a lost link
  EXPECT_TRUE(s.peer.quietFor(1700));     // and no further cycle starts
  EXPECT_EQ(0, s.peer.keepAlivesAnswered());
}

TEST(KeepAlive, ShutdownRightAfterOpenIsNeverMissed) {
  // However the shutdown falls against the first exchange and pause, the
  // thread ends within one exchange and no later than the pause's end.
  for (int i = 0; i < 5; ++i) {
    PeerSession s;
    auto answer = std::async(std::launch::async, [&] {
      if (s.peer.read(4, 500).size() == 4) s.peer.send(reply(0));
    });
    const auto start = Clock::now();
    s.session().shutdown();
    s.session().join();
    EXPECT_LT(Clock::now() - start, milliseconds(1000));
    answer.get();
  }
}

// The state tells a lost link as soon as a command meets it, not at the
// next keep-alive, so a caller can tell a refusal from a loss at once; a
// refusal leaves the session connected.
TEST(KeepAlive, ACommandThatBreaksOffShowsTheLossAtOnce) {
  const struct {
    const char* label;
    Bytes answer;
    bool closes;
    int connected;
  } cases[] = {
      {"refused", reply(1), false, 1},
      {"closed before the reply", {}, true, 0},
      {"a short reply, then closed", zeros(12), true, 0},
  };
  for (const auto& c : cases) {
    PeerSession s;
    auto size = std::async(std::launch::async, [&] { return FileSize(s.handle, "/f"); });
    ASSERT_EQ(concat({word(CMD_FILE_SIZE), pathField("/f")}), s.peer.read(1028)) << c.label;
    s.peer.send(c.answer);
    if (c.closes) s.peer.close();
    size.get();
    EXPECT_EQ(c.connected, connectedFlag(s.handle)) << c.label;
  }
}

}  // namespace
}  // namespace korvex::test
