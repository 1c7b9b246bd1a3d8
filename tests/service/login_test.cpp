// The login handshake and the service's process life.
#include <signal.h>
#include <sys/wait.h>

#include "service_fixture.h"

namespace korvex::test {
namespace {

namespace proto = korvex::protocol;

using LoginTest = ServiceTest;

TEST_F(LoginTest, GoodPasswordGetsFortyZeroBytesThenTheDeviceNameBlock) {
  RawClient client(service_.port());
  ASSERT_TRUE(client.send(proto::encodePassword(service_.password()).data(), proto::PASSWORD_BLOCK_SIZE));
  Bytes answer = client.read(104);
  Bytes expected(40, 0);
  auto name = proto::encodeDeviceName(service_.deviceName());
  expected.insert(expected.end(), name.begin(), name.end());
  EXPECT_EQ(answer, expected);
  // Nothing else follows the handshake; the first exchange gets its own reply.
  EXPECT_EQ(client.status(proto::CMD_KEEPALIVE), 0);
  EXPECT_TRUE(service_.waitForLog("logged in from 127.0.0.1:"));
}

TEST_F(LoginTest, WrongPasswordIsClosedWithoutAnswerAndNeverLogged) {
  RawClient wrong(service_.port());
  ASSERT_TRUE(wrong.send(proto::encodePassword("not-the-password").data(), proto::PASSWORD_BLOCK_SIZE));
  EXPECT_TRUE(wrong.closedByService());

  // A prefix of the right password is as wrong as any other.
  RawClient prefix(service_.port());
  std::string shorter = service_.password().substr(0, 5);
  ASSERT_TRUE(prefix.send(proto::encodePassword(shorter).data(), proto::PASSWORD_BLOCK_SIZE));
  EXPECT_TRUE(prefix.closedByService());

  EXPECT_TRUE(loggedIn()->status(proto::CMD_KEEPALIVE).has_value());
  ASSERT_TRUE(service_.waitForLog("login refused"));
  std::string log = service_.log();
  EXPECT_EQ(log.find(service_.password()), std::string::npos);
  EXPECT_EQ(log.find("not-the-password"), std::string::npos);
}

TEST_F(LoginTest, PasswordBlockWithoutNulIsRefused) {
  RawClient client(service_.port());
  Bytes block(proto::PASSWORD_BLOCK_SIZE, 'x');
  ASSERT_TRUE(client.send(block));
  EXPECT_TRUE(client.closedByService());
}

TEST_F(LoginTest, SigtermWithOpenConnectionsExitsCleanly) {
  auto session = loggedIn();
  RawClient halfway(service_.port());  // connected, login not sent
  ASSERT_TRUE(halfway.connected());
  ASSERT_EQ(session->status(proto::CMD_KEEPALIVE), 0);

  int status = service_.stop();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(session->closedByService(1000));
  EXPECT_TRUE(halfway.closedByService(1000));
  EXPECT_NE(service_.log().find("stopped"), std::string::npos);
}

}  // namespace
}  // namespace korvex::test
