// Clients that break the protocol, stall or go away, power commands with
// --power-exits, and many clients at once.
#include <sys/wait.h>

#include <atomic>
#include <latch>
#include <thread>

#include "service_fixture.h"

namespace korvex::test {
namespace {

namespace proto = korvex::protocol;

class RobustnessTest : public ServiceTest {
 protected:
  RobustnessTest()
      : ServiceTest(ServiceProcess::Options{.extraArgs = {"--io-timeout-ms", "1000", "--idle-timeout-ms", "3000"}}) {}
};

TEST_F(RobustnessTest, UnknownCodeClosesOnlyThatConnection) {
  auto bystander = loggedIn();
  for (std::uint32_t code : {17u, 0xFFFFFFFFu}) {
    auto offender = loggedIn();
    ASSERT_TRUE(offender->request(code));
    EXPECT_TRUE(offender->closedByService()) << code;
    EXPECT_EQ(bystander->status(proto::CMD_KEEPALIVE), 0);
  }
  EXPECT_TRUE(service_.waitForLog("closed (unknown command code 4294967295)"));
}

TEST_F(RobustnessTest, PathFieldWithoutNulClosesOnlyThatConnection) {
  auto bystander = loggedIn();
  auto offender = loggedIn();
  Bytes request = {proto::CMD_FILE_SIZE, 0, 0, 0};
  request.resize(proto::CODE_SIZE + proto::PATH_BLOCK_SIZE, 'a');
  ASSERT_TRUE(offender->send(request));
  EXPECT_TRUE(offender->closedByService());

  // Only the destination field of a rename lacks its NUL.
  auto renamer = loggedIn();
  Bytes rename = {proto::CMD_RENAME, 0, 0, 0, 'x', 0};
  rename.resize(proto::CODE_SIZE + proto::RENAME_BLOCK_SIZE, 'b');
  ASSERT_TRUE(renamer->send(rename));
  EXPECT_TRUE(renamer->closedByService());

  EXPECT_EQ(bystander->status(proto::CMD_EXISTS, "/"), 1);
  EXPECT_TRUE(service_.waitForLog("RENAME request with a path field lacking its NUL"));
}

TEST_F(RobustnessTest, StallInsideARequestClosesAfterTheTimeout) {
  auto bystander = loggedIn();
  auto staller = loggedIn();
  Bytes partial = {proto::CMD_EXISTS, 0, 0, 0, '/', 'a'};
  ASSERT_TRUE(staller->send(partial));
  EXPECT_TRUE(staller->closedByService(5000));
  EXPECT_EQ(bystander->status(proto::CMD_KEEPALIVE), 0);
  EXPECT_TRUE(service_.waitForLog("closed (stalled inside a request)"));
}

TEST_F(RobustnessTest, SilentLoginAndIdleSessionAreClosed) {
  RawClient silent(service_.port());
  ASSERT_TRUE(silent.connected());
  auto idle = loggedIn();
  EXPECT_TRUE(silent.closedByService(5000));
  EXPECT_TRUE(idle->closedByService(5000));
  EXPECT_TRUE(service_.waitForLog("closed (no login in time)"));
  EXPECT_TRUE(service_.waitForLog("closed (idle time-out)"));
}

// Default time-outs: under a sanitizer, 200 logins can take longer than the
// short ones above allow. All 200 may be waiting to log in at once, more than
// the default cap on pending logins keeps.
class ConcurrencyTest : public ServiceTest {
 protected:
  ConcurrencyTest() : ServiceTest(ServiceProcess::Options{.extraArgs = {"--max-pending-logins", "256"}}) {}
};

TEST_F(ConcurrencyTest, TwoHundredClientsAtOnce) {
  constexpr int kClients = 200;
  std::latch allLoggedIn(kClients);
  std::atomic<int> served{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      RawClient client(service_.port());
      bool in = client.connected() && client.login(service_.password()) == service_.deviceName();
      allLoggedIn.arrive_and_wait();  // every connection is open before any command runs
      if (!in) return;
      std::string dir = "/c" + std::to_string(i);
      Bytes content = patternBytes(1000 + i, i);
      bool ok = client.status(proto::CMD_MAKE_DIR, dir) == 0 && client.upload(dir + "/f", content) == 0 &&
                client.list(proto::CMD_LIST_FILES, dir) == std::vector<std::string>{"f"} &&
                client.download(dir + "/f") == content && client.status(proto::CMD_KEEPALIVE) == 0;
      if (ok) ++served;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(served.load(), kClients);
}

class PowerExitTest : public ServiceTest {
 protected:
  PowerExitTest() : ServiceTest(ServiceProcess::Options{.extraArgs = {"--power-exits"}}) {}
};

TEST_F(PowerExitTest, PowerCommandIsAnsweredThenTheServiceExits) {
  auto session = loggedIn();
  auto other = loggedIn();
  ASSERT_TRUE(session->request(proto::CMD_REBOOT));
  auto header = session->reply();
  ASSERT_TRUE(header);
  EXPECT_EQ(header->status, 1);
  EXPECT_TRUE(session->closedByService());
  EXPECT_TRUE(other->closedByService());
  auto status = service_.waitExit(std::chrono::seconds(10));
  ASSERT_TRUE(status.has_value());
  ASSERT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
}

}  // namespace
}  // namespace korvex::test
