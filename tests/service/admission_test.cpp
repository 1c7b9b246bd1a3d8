// Who gets to log in, and how fast: the login deadline, the cap on
// connections still logging in, the delay after failed logins, and where the
// password comes from.
#include <chrono>
#include <fstream>
#include <thread>

#include "deadline.h"
#include "service_fixture.h"

namespace korvex::test {
namespace {

namespace proto = korvex::protocol;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

class LoginDeadlineTest : public ServiceTest {
 protected:
  // A stall allowance far above the deadline: only the deadline can close a trickle.
  LoginDeadlineTest()
      : ServiceTest(ServiceProcess::Options{
            .extraArgs = {"--login-timeout-ms", "1000", "--io-timeout-ms", "5000", "--idle-timeout-ms", "5000"}}) {}
};

TEST_F(LoginDeadlineTest, ATrickledLoginIsClosedAtTheDeadlineWhileSessionsGoOn) {
  auto session = loggedIn();
  RawClient trickler(service_.port());
  ASSERT_TRUE(trickler.connected());
  const auto start = Clock::now();
  const Bytes block(proto::PASSWORD_BLOCK_SIZE, 'x');  // never completed, so never judged
  bool closed = false;
  for (std::size_t sent = 0; sent < block.size() && !closed && msSince(start) < 4000; ++sent) {
    if (!trickler.send(&block[sent], 1)) break;
    closed = trickler.closedByService(100);  // a byte every 100 ms
  }
  const long long elapsed = msSince(start);
  EXPECT_TRUE(closed || trickler.closedByService(100));
  EXPECT_GE(elapsed, 900);
  EXPECT_LT(elapsed, 2500);
  EXPECT_TRUE(service_.waitForLog("closed (no login in time)"));
  EXPECT_EQ(session->status(proto::CMD_KEEPALIVE), 0);
}

class PendingCapTest : public ServiceTest {
 protected:
  static constexpr int kCap = 3;
  PendingCapTest()
      : ServiceTest(ServiceProcess::Options{.extraArgs = {"--max-pending-logins", std::to_string(kCap)}}) {}

  // A connection that sends nothing, once the service has accepted it, so
  // the service's order of arrival is the order of the calls.
  std::unique_ptr<RawClient> silent() {
    auto client = std::make_unique<RawClient>(service_.port());
    EXPECT_TRUE(client->connected());
    EXPECT_TRUE(service_.waitForLog("conn " + std::to_string(++accepted_) + ": accepted"));
    return client;
  }
  int accepted_ = 0;
};

TEST_F(PendingCapTest, OverTheCapTheOldestPendingIsDroppedAndSessionsAreNotCounted) {
  std::vector<std::unique_ptr<RawClient>> waiting;
  for (int i = 0; i + 1 < kCap; ++i) waiting.push_back(silent());
  // Logged in, a connection no longer counts against the cap.
  auto session = loggedIn();
  ++accepted_;
  waiting.push_back(silent());
  for (std::size_t i = 0; i < waiting.size(); ++i) EXPECT_FALSE(waiting[i]->closedByService(100)) << i;

  // Each newcomer pushes out the oldest that is still waiting; a real login among them goes through.
  waiting.push_back(silent());
  EXPECT_TRUE(waiting[0]->closedByService(2000));
  auto owner = loggedIn();
  ++accepted_;
  EXPECT_TRUE(waiting[1]->closedByService(2000));
  for (std::size_t i = 2; i < waiting.size(); ++i) EXPECT_FALSE(waiting[i]->closedByService(100)) << i;
  EXPECT_EQ(owner->status(proto::CMD_KEEPALIVE), 0);
  EXPECT_EQ(session->status(proto::CMD_KEEPALIVE), 0);
  EXPECT_TRUE(service_.waitForLog("conn 1: dropped: 3 connections waiting to log in"));
  EXPECT_TRUE(service_.waitForLog("conn 2: dropped: 3 connections waiting to log in"));
}

using FloodTest = ServiceTest;

// With the default cap (64): clients that never finish their login keep
// neither sessions nor the owner out; only the newest of them stay.
TEST_F(FloodTest, TwoHundredTricklersAndTheOwnerStillLogsInWithinASecond) {
  constexpr std::size_t kTricklers = 200, kCap = 64;
  auto session = loggedIn();
  std::vector<std::unique_ptr<RawClient>> tricklers;
  const Bytes start(10, 'x');
  for (std::size_t i = 0; i < kTricklers; ++i) {
    tricklers.push_back(std::make_unique<RawClient>(service_.port()));
    ASSERT_TRUE(tricklers.back()->connected());
    tricklers.back()->send(start);  // may fail once the service has dropped it
  }
  const auto begin = Clock::now();
  auto owner = loggedIn();
  EXPECT_LT(msSince(begin), 1000);
  EXPECT_EQ(owner->status(proto::CMD_KEEPALIVE), 0);
  EXPECT_EQ(session->status(proto::CMD_KEEPALIVE), 0);
  // The owner's own arrival pushed one more out.
  const std::size_t dropped = kTricklers - (kCap - 1);
  for (std::size_t i = 0; i < kTricklers; ++i) {
    EXPECT_EQ(tricklers[i]->closedByService(i < dropped ? 2000 : 0), i < dropped) << i;
  }
}

// Short delays so the whole ladder takes about three seconds: 150 ms after
// the first failure, doubling up to 600 ms, forgotten after 1.2 s of quiet.
class LoginDelayTest : public ServiceTest {
 protected:
  LoginDelayTest()
      : ServiceTest(ServiceProcess::Options{.extraArgs = {"--login-delay-ms", "150", "--login-delay-max-ms", "600",
                                                          "--login-quiet-ms", "1200"}}) {}
};

TEST_F(LoginDelayTest, EachFailureDelaysTheNextAnswerUntilASuccessOrQuietResetsIt) {
  auto bystander = loggedIn();
  // A success or a quiet spell shows in the answer after next: the attempt
  // right after it is answered at once either way, as the first failure is.
  struct Attempt {
    bool right;
    int quietBeforeMs;  // pause before this attempt
    long long atLeastMs;
    long long underMs;
  };
  constexpr long long kAny = 10000;
  const Attempt attempts[] = {
      {false, 0, 0, kAny},
      {false, 0, 150, kAny},
      {false, 0, 300, kAny},
      {true, 0, 600, kAny},  // a right password waits like a wrong one
      {false, 0, 0, kAny},
      {false, 0, 150, 450},  // the success forgot three failures, else 600
      {false, 0, 300, kAny},
      {false, 1300, 0, kAny},
      {false, 0, 150, 450},  // so did the quiet
  };
  // The delay runs from the previous answer, a little before this attempt starts.
  constexpr long long kSlack = 60;
  int row = 0;
  for (const Attempt& attempt : attempts) {
    SCOPED_TRACE(row++);
    if (attempt.quietBeforeMs) std::this_thread::sleep_for(milliseconds(attempt.quietBeforeMs));
    RawClient client(service_.port());
    ASSERT_TRUE(client.connected());
    const auto start = Clock::now();
    const std::string password = attempt.right ? service_.password() : "guess";
    ASSERT_TRUE(client.send(proto::encodePassword(password).data(), proto::PASSWORD_BLOCK_SIZE));
    // The wait holds back only this address's answer, not other clients.
    const auto keepalive = Clock::now();
    EXPECT_EQ(bystander->status(proto::CMD_KEEPALIVE), 0);
    if (attempt.atLeastMs >= 300) {
      EXPECT_LT(msSince(keepalive), attempt.atLeastMs / 2);
    }
    if (attempt.right) {
      EXPECT_EQ(client.read(proto::LOGIN_REPLY_SIZE + proto::DEVICE_NAME_SIZE, 3000), loginAnswer(service_.deviceName()));
    } else {
      EXPECT_TRUE(client.closedByService(3000));
    }
    const long long elapsed = msSince(start);
    EXPECT_GE(elapsed, attempt.atLeastMs - kSlack);
    EXPECT_LT(elapsed, attempt.underMs);
  }
  EXPECT_TRUE(service_.waitForLog("login refused from 127.0.0.1:"));
  EXPECT_TRUE(service_.waitForLog("(failure 3 from 127.0.0.1; its next answer waits 600 ms)"));
}

// --listen takes a host name as the client does: localhost is 127.0.0.1.
TEST(ListenAddress, AHostNameListensOnItsAddress) {
  ServiceProcess service(ServiceProcess::Options{.extraArgs = {"--listen", "localhost:0"}});
  RawClient client(service.port());
  EXPECT_EQ(client.login("korvex-test-password"), service.deviceName());
}

using Via = ServiceProcess::Options::PasswordVia;

class PasswordSourceTest : public ::testing::TestWithParam<Via> {};

TEST_P(PasswordSourceTest, TheServiceTakesItsPasswordAndOnlyTheCommandLineOneIsWarnedAbout) {
  ServiceProcess service(ServiceProcess::Options{.password = "from-somewhere-else", .extraArgs = {}, .passwordVia = GetParam()});
  RawClient right(service.port());
  EXPECT_EQ(right.login("from-somewhere-else"), service.deviceName());
  RawClient wrong(service.port());
  ASSERT_TRUE(wrong.send(proto::encodePassword("korvex-test-password").data(), proto::PASSWORD_BLOCK_SIZE));
  EXPECT_TRUE(wrong.closedByService());

  // What `ps` shows every local user.
  std::ifstream cmdline("/proc/" + std::to_string(service.pid()) + "/cmdline", std::ios::binary);
  const std::string arguments((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(arguments.empty());
  const bool onCommandLine = GetParam() == Via::Argument;
  EXPECT_EQ(arguments.find("from-somewhere-else") != std::string::npos, onCommandLine);
  EXPECT_EQ(service.log().find("can be read by other local users") != std::string::npos, onCommandLine);
  const int status = service.stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << service.log();
}

INSTANTIATE_TEST_SUITE_P(Sources, PasswordSourceTest, ::testing::Values(Via::Argument, Via::File, Via::Environment),
                         [](const auto& info) {
                           return info.param == Via::Argument ? "Argument"
                                  : info.param == Via::File   ? "File"
                                                              : "Environment";
                         });

}  // namespace
}  // namespace korvex::test
