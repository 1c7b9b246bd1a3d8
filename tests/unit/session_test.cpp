// Connect, the login handshake and ConnectionState, over a scripted peer.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "runtime/platform.h"
#include "session_fixture.h"

namespace korvex::test {
namespace {

using Clock = std::chrono::steady_clock;

struct State {
  char connected = 7;
  char address[128] = {};
  char name[64] = {};
};

State stateOf(SessionHandle handle) {
  State s;
  ConnectionState(handle, &s.connected, s.address, s.name);
  return s;
}

TEST(Login, SendsThePasswordBlockAndReportsTheDeviceName) {
  ScriptedPeer peer;
  int error = -1;
  auto connecting = std::async(std::launch::async, [&] { return Connect(peer.address().c_str(), "abc", &error); });
  ASSERT_TRUE(peer.accept());
  EXPECT_EQ(concat({text("abc"), zeros(253)}), peer.read(256));
  peer.send(concat({Bytes(40, 0xEE), text("Phone"), zeros(59)}));
  SessionHandle handle = connecting.get();
  ASSERT_NE(nullptr, handle);
  EXPECT_EQ(0, error);
  const State state = stateOf(handle);
  EXPECT_EQ(1, state.connected);
  EXPECT_STREQ(peer.address().c_str(), state.address);
  EXPECT_STREQ("Phone", state.name);
  endSession(handle, &peer);
}

TEST(Login, PasswordLimits) {
  ScriptedPeer peer;
  const std::string longest(255, 'p');
  auto connecting = std::async(std::launch::async, [&] { return Connect(peer.address().c_str(), longest.c_str(), nullptr); });
  ASSERT_TRUE(peer.accept());
  EXPECT_EQ(concat({text(longest), zeros(1)}), peer.read(256));
  peer.send(zeros(104));
  SessionHandle handle = connecting.get();
  EXPECT_NE(nullptr, handle);
  endSession(handle, &peer);

  // One byte more cannot travel whole: refused after the TCP connect, with
  // nothing sent.
  const std::string tooLong(256, 'p');
  int error = -1;
  auto refused = std::async(std::launch::async, [&] { return Connect(peer.address().c_str(), tooLong.c_str(), &error); });
  ASSERT_TRUE(peer.accept());
  EXPECT_TRUE(peer.read(1, 2000).empty());
  EXPECT_EQ(nullptr, refused.get());
  EXPECT_EQ(2, error);

  auto empty = std::async(std::launch::async, [&] { return Connect(peer.address().c_str(), "", nullptr); });
  EXPECT_EQ(zeros(256), peer.acceptLogin());
  endSession(empty.get(), &peer);
}

TEST(Login, DeviceNameWithoutNulIsCutTo63Bytes) {
  ScriptedPeer peer;
  auto connecting = std::async(std::launch::async, [&] { return Connect(peer.address().c_str(), "pw", nullptr); });
  ASSERT_TRUE(peer.accept());
  peer.read(256);
  peer.send(concat({zeros(40), Bytes(64, 'N')}));
  SessionHandle handle = connecting.get();
  ASSERT_NE(nullptr, handle);
  EXPECT_EQ(std::string(63, 'N'), stateOf(handle).name);
  endSession(handle, &peer);
}

TEST(Login, FailuresGiveErrorCodes) {
  const std::uint16_t closedPort = [] {
    ScriptedPeer gone;
    return gone.port();
  }();
  int error = -1;
  EXPECT_EQ(nullptr, Connect(("127.0.0.1:" + std::to_string(closedPort)).c_str(), "pw", &error));
  EXPECT_EQ(1, error);
  EXPECT_EQ(nullptr, Connect("no-such-host.invalid", "pw", nullptr));

  ScriptedPeer peer;
  error = -1;
  auto closing = std::async(std::launch::async, [&] { return Connect(peer.address().c_str(), "pw", &error); });
  ASSERT_TRUE(peer.accept());
  peer.read(256);
  peer.send(zeros(39));
  peer.close();
  EXPECT_EQ(nullptr, closing.get());
  EXPECT_EQ(2, error);
}

TEST(Login, SilentPeerFailsAfterTheTimeout) {
  ScriptedPeer peer;
  int error = -1;
  const auto start = Clock::now();
  auto silent = std::async(std::launch::async, [&] { return Connect(peer.address().c_str(), "pw", &error); });
  ASSERT_TRUE(peer.accept());
  peer.read(256);
  peer.send(zeros(40));  // the reply, then nothing of the name
  EXPECT_EQ(nullptr, silent.get());
  EXPECT_EQ(2, error);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(2800));
  EXPECT_TRUE(peer.clientClosed());
}

// The whole line of `text` that holds `fragment`, without its newline.
std::string lineWith(const std::string& text, const std::string& fragment) {
  const std::size_t at = text.find(fragment);
  if (at == std::string::npos) return {};
  const std::size_t begin = text.rfind('\n', at) + 1;
  return text.substr(begin, text.find('\n', at) - begin);
}

TEST(Login, TraceLinesHideThePassword) {
  LogCapture log;
  ScriptedPeer peer;
  SessionHandle handle = connectTo(peer, "hunter2");
  ASSERT_NE(nullptr, handle);
  stateOf(handle);
  endSession(handle, &peer);
  const std::string lines = log.text();
  EXPECT_EQ(std::string::npos, lines.find("hunter2"));
  const std::string connect = lineWith(lines, "]CONNECT IP " + peer.address() + " pasw ********");
  // The logger's "[pid-tid]", then the export's own.
  const std::string pid = std::to_string(platform::processId());
  EXPECT_NE(std::string::npos, connect.find("] DBUG: [" + pid + "-")) << connect;
  EXPECT_NE(std::string::npos, connect.find("][" + pid + "-")) << connect;
  EXPECT_FALSE(lineWith(lines, "]OSKAVEL INIT").empty());
  const unsigned number = static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(handle));
  EXPECT_NE(std::string::npos, lines.find("]RET NEW HANDLE " + std::to_string(number) + "\n"));
  EXPECT_NE(std::string::npos,
            lines.find("-" + std::to_string(static_cast<int>(number)) + "]connection state\n"));
}

TEST(Login, FailedConnectWritesNoSuccessLines) {
  LogCapture log;
  ScriptedPeer peer;
  auto refused = std::async(std::launch::async, [&] { return Connect(peer.address().c_str(), "pw", nullptr); });
  ASSERT_TRUE(peer.accept());
  peer.close();
  EXPECT_EQ(nullptr, refused.get());
  EXPECT_EQ(std::string::npos, log.text().find("OSKAVEL INIT"));
}

TEST(Login, ManyConnectsAtOnce) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 6;
  ScriptedPeer peer;
  std::vector<std::future<std::vector<SessionHandle>>> clients;
  for (int t = 0; t < kThreads; ++t) {
    clients.push_back(std::async(std::launch::async, [&] {
      std::vector<SessionHandle> handles;
      for (int i = 0; i < kPerThread; ++i) handles.push_back(Connect(peer.address().c_str(), "pw", nullptr));
      return handles;
    }));
  }
  // Answer every login in arrival order, keeping each connection open.
  std::vector<std::unique_ptr<ScriptedPeer>> unused;
  std::vector<int> accepted;
  for (int i = 0; i < kThreads * kPerThread; ++i) {
    ASSERT_TRUE(peer.accept());
    peer.read(256);
    peer.send(zeros(104));
    accepted.push_back(peer.releaseClient());
  }
  std::set<SessionHandle> distinct;
  for (auto& client : clients) {
    for (SessionHandle h : client.get()) {
      ASSERT_NE(nullptr, h);
      distinct.insert(h);
    }
  }
  EXPECT_EQ(static_cast<std::size_t>(kThreads * kPerThread), distinct.size());
  for (int client : accepted) loopback::closeSocket(client);
  for (SessionHandle h : distinct) endSession(h);
}

}  // namespace
}  // namespace korvex::test
