// Disconnect: a session ends at once whatever it is doing, wakes the calls
// blocked on it, stops its background copies and leaves nothing behind.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "process_counts.h"
#include "protocol.h"
#include "session_fixture.h"
#include "temp_dir.h"

namespace korvex::test {
namespace {

using namespace protocol;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int progressOf(TransferHandle transfer) {
  int total = 0, progress = 0;
  return GetTransProgress(transfer, &total, &progress);
}

// What runs on another thread of the session when it is disconnected; each
// call waits on the phone, which never answers.
struct Busy {
  const char* name;
  // Starts the call and returns when the peer has seen its request.
  std::function<std::future<bool>(SessionHandle, ScriptedPeer&, const TempDir&)> start;
};

std::vector<Busy> busyCases() {
  return {
      {"idle",
       [](SessionHandle, ScriptedPeer&, const TempDir&) { return std::future<bool>(); }},
      {"a command waiting for its reply",
       [](SessionHandle h, ScriptedPeer& peer, const TempDir&) {
         auto call = std::async(std::launch::async, [h] { return Exists(h, "/x") == 1; });
         peer.readRequest(PATH_BLOCK_SIZE);
         return call;
       }},
      {"a download stalled mid-file over an existing file",
       [](SessionHandle h, ScriptedPeer& peer, const TempDir& dir) {
         writeFile(dir / "kept", "the user's file");
         auto call = std::async(std::launch::async,
                                [h, local = (dir / "kept").string()] { return DownFromPhone(h, "/f", local.c_str()); });
         peer.readRequest(PATH_BLOCK_SIZE);
         peer.send(concat({reply(0, 100000), text(patterned(3000))}));
         return call;
       }},
  };
}

bool stateConnected(SessionHandle handle, const std::string& address) {
  char connected = 0;
  std::string copied(address.size() + 1, '\0');
  char name[KORVEX_DEVICE_NAME_SIZE] = {};
  ConnectionState(handle, &connected, copied.data(), name);
  return connected != 0;
}

TEST(Disconnect, EndsPromptlyWhateverTheSessionIsDoing) {
  {
    // One-time costs (a sanitizer's own thread, say) before the baseline.
    ScriptedPeer warmUp;
    endSession(connectTo(warmUp), &warmUp);
  }
  for (const Busy& c : busyCases()) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ScriptedPeer peer;
    const ProcessCounts before = processCounts();
    SessionHandle handle = connectTo(peer);
    ASSERT_NE(nullptr, handle);
    std::future<bool> call = c.start(handle, peer, dir);
    const auto start = Clock::now();
    EXPECT_TRUE(Disconnect(handle));
    EXPECT_LT(Clock::now() - start, milliseconds(1000));  // well within the 3 s time-out
    if (call.valid()) {
      EXPECT_FALSE(call.get());
    }
    EXPECT_TRUE(peer.clientClosed());
    if (std::filesystem::exists(dir / "kept")) {
      EXPECT_EQ("the user's file", readFile(dir / "kept"));
    }
    peer.close();
    const ProcessCounts after = settledCounts(before);
    EXPECT_EQ(before.threads, after.threads);
    EXPECT_EQ(before.handles, after.handles);
  }
}

// CloseConnection, from another thread than the call's: the call fails at
// once, the session reads as lost and sends nothing more, and the handle
// stays valid until Disconnect.
TEST(CloseConnection, EndsTheCallButKeepsTheHandle) {
  for (const Busy& c : busyCases()) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ScriptedPeer peer;
    SessionHandle handle = connectTo(peer);
    ASSERT_NE(nullptr, handle);
    std::future<bool> call = c.start(handle, peer, dir);
    const auto start = Clock::now();
    CloseConnection(handle);
    if (call.valid()) {
      EXPECT_FALSE(call.get());
    }
    EXPECT_LT(Clock::now() - start, milliseconds(1000));
    EXPECT_FALSE(stateConnected(handle, peer.address()));
    EXPECT_TRUE(peer.clientClosed());
    EXPECT_EQ(-1, Exists(handle, "/later"));
    CloseConnection(handle);  // again: nothing to do
    if (std::filesystem::exists(dir / "kept")) {
      EXPECT_EQ("the user's file", readFile(dir / "kept"));
    }
    EXPECT_FALSE(Disconnect(handle));
    peer.close();
  }
  CloseConnection(nullptr);
}

// One copy streaming, one still logging in: both stop, as on a lost link,
// and their handles still close.
TEST(Disconnect, StopsBackgroundCopiesWhoseHandlesStayClosable) {
  TempDir dir;
  ScriptedPeer peer;
  SessionHandle handle = connectTo(peer);
  auto responder = std::make_unique<SessionResponder>(peer.releaseClient());
  responder->setFileSize(1 << 20);
  writeFile(dir / "down", "before");
  TransferHandle down = DownFromPhoneAsync(handle, "/big", (dir / "down").string().c_str());
  ASSERT_NE(nullptr, down);
  ASSERT_TRUE(peer.accept());
  peer.read(256);
  peer.send(zeros(104));
  peer.read(4 + PATH_BLOCK_SIZE);
  peer.send(concat({reply(0, 1 << 20), text(patterned(4500))}));
  const auto deadline = Clock::now() + milliseconds(5000);
  while (progressOf(down) < 4500 && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(5));
  ASSERT_EQ(4500, progressOf(down));
  writeFile(dir / "up", patterned(100));
  TransferHandle up = CopyToPhoneAsync(handle, (dir / "up").string().c_str(), "/p");
  ASSERT_NE(nullptr, up);
  ASSERT_TRUE(peer.accept());
  peer.read(256);  // its login is never answered

  EXPECT_TRUE(Disconnect(handle));
  EXPECT_EQ(-2, progressOf(down));  // both have ended: Disconnect waited for them
  EXPECT_EQ(-1, progressOf(up));
  EXPECT_EQ(0, CloseTransHandle(down));
  EXPECT_EQ(0, CloseTransHandle(up));
  EXPECT_EQ("before", readFile(dir / "down"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);  // "down" and "up" alone
}

TEST(Disconnect, ALostSessionStillEndsAndSaysItWasNotConnected) {
  ScriptedPeer peer;
  SessionHandle handle = connectTo(peer);
  peer.close();  // the keep-alive finds the link gone
  ASSERT_TRUE(waitUntilDisconnected(handle, milliseconds(6000)));
  EXPECT_FALSE(Disconnect(handle));
  EXPECT_FALSE(Disconnect(nullptr));
}

TEST(Disconnect, SessionsEndConcurrentlyFromTheirOwnThreads) {
  constexpr int kSessions = 8;
  std::vector<std::unique_ptr<ScriptedPeer>> peers;
  std::vector<SessionHandle> handles;
  for (int i = 0; i < kSessions; ++i) {
    peers.push_back(std::make_unique<ScriptedPeer>());
    handles.push_back(connectTo(*peers.back()));
    ASSERT_NE(nullptr, handles.back());
  }
  std::vector<std::future<bool>> ends;
  for (SessionHandle h : handles) ends.push_back(std::async(std::launch::async, [h] { return Disconnect(h); }));
  for (auto& end : ends) {
    ASSERT_EQ(std::future_status::ready, end.wait_for(std::chrono::seconds(5)));
    EXPECT_TRUE(end.get());
  }
}

TEST(Disconnect, WritesItsTraceLine) {
  ScriptedPeer peer;
  SessionHandle handle = connectTo(peer);
  LogCapture log;
  const auto number = static_cast<int>(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle)));
  Disconnect(handle);
  EXPECT_NE(std::string::npos, log.text().find("-" + std::to_string(number) + "]Disconnect\n"));
}

}  // namespace
}  // namespace korvex::test
