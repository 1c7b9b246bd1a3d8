// Background copies over a scripted peer: progress through each stage,
// cancels at each stage, and the session's end stopping them.
#include <gtest/gtest.h>

#include <chrono>

#include "protocol.h"
#include "session/transfers.h"
#include "session_fixture.h"
#include "temp_dir.h"

namespace korvex::test {
namespace {

using namespace protocol;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Progress {
  int result;
  int total;
  int progress;
};

Progress poll(TransferHandle transfer) {
  Progress p{0, 77, 77};
  p.result = GetTransProgress(transfer, &p.total, &p.progress);
  return p;
}

bool progressReaches(TransferHandle transfer, int wanted, milliseconds limit = milliseconds(5000)) {
  const auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    if (poll(transfer).progress == wanted) return true;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return poll(transfer).progress == wanted;
}

// The hand-over between a transfer's thread and its stoppers, in every
// order: whoever comes second must see what the first did.
TEST(TransferSlot, PublishAndStopInEitherOrder) {
  Connection connection;
  struct Case {
    const char* name;
    bool publishFirst;
    bool published;          // what publish() reports
    bool firstStopTakes;     // the first stop gets the connection
  };
  const Case cases[] = {
      {"published, then stopped", true, true, true},
      {"stopped before anything was published", false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TransferSlot slot;
    bool published = false;
    if (c.publishFirst) published = slot.publish(&connection);
    Connection* taken = slot.takeForStop();
    if (!c.publishFirst) published = slot.publish(&connection);
    EXPECT_EQ(c.published, published);
    EXPECT_EQ(c.firstStopTakes ? &connection : nullptr, taken);
    EXPECT_EQ(nullptr, slot.takeForStop());  // a second stop frees nothing twice
    EXPECT_FALSE(slot.publish(&connection));  // nor can anything be published after a stop
  }
}

// A session whose own connection is answered in the background, so the test
// can script the transfers' connections on the same listener.
class TransferTest : public ::testing::Test {
 protected:
  TransferTest() : handle(connectTo(peer)), responder(std::make_unique<SessionResponder>(peer.releaseClient())) {}
  ~TransferTest() override {
    responder.reset();
    endSession(handle, &peer);
  }
  // Accepts a transfer's connection and answers its login.
  void acceptTransfer() {
    ASSERT_TRUE(peer.accept());
    EXPECT_EQ(concat({text("secret"), zeros(250)}), peer.read(256));
    peer.send(zeros(104));
  }

  TempDir dir;
  ScriptedPeer peer;
  SessionHandle handle;
  std::unique_ptr<SessionResponder> responder;
};

TEST_F(TransferTest, UploadReportsTotalFromTheStartAndEndsDone) {
  const std::string data = patterned(5000);
  writeFile(dir / "up", data);
  TransferHandle transfer = CopyToPhoneAsync(handle, (dir / "up").string().c_str(), "/phone/up");
  ASSERT_NE(nullptr, transfer);
  const Progress before = poll(transfer);
  EXPECT_EQ(-1, before.result);
  EXPECT_EQ(-1, before.progress);
  EXPECT_EQ(5000, before.total);

  ASSERT_TRUE(peer.accept());
  peer.read(256);
  EXPECT_EQ(-1, poll(transfer).progress);  // still logging in
  peer.send(zeros(104));
  EXPECT_EQ(concat({word(CMD_UPLOAD), pathField("/phone/up"), word(5000)}), peer.read(1032));
  EXPECT_EQ(-1, poll(transfer).progress);  // not under way until the phone accepts it
  peer.send(reply(0));
  EXPECT_EQ(text(data), peer.read(5000));
  EXPECT_EQ(0, poll(transfer).progress);  // every byte sent, none confirmed yet
  EXPECT_EQ(concat({word(CMD_FILE_SIZE), pathField("/phone/up")}), peer.answerSizeCheck(5000));
  ASSERT_TRUE(progressReaches(transfer, 5000));
  EXPECT_EQ(5000, poll(transfer).result);
  EXPECT_EQ(0, CloseTransHandle(transfer));
}

TEST_F(TransferTest, AnUploadThePhoneDoesNotConfirmFails) {
  writeFile(dir / "up", "abc");
  TransferHandle transfer = CopyToPhoneAsync(handle, (dir / "up").string().c_str(), "/p");
  acceptTransfer();
  peer.read(1032);
  peer.send(reply(0));
  EXPECT_EQ(text("abc"), peer.read(3));
  peer.readRequest(1024);
  peer.close();  // as a phone that could not store the file
  EXPECT_TRUE(progressReaches(transfer, -2));
  EXPECT_EQ(0, CloseTransHandle(transfer));
}

TEST_F(TransferTest, DownloadTotalComesFromTheSizeQueryThenTheReply) {
  responder->setFileSize(1234);
  TransferHandle transfer = DownFromPhoneAsync(handle, "/phone/f", (dir / "down").string().c_str());
  ASSERT_NE(nullptr, transfer);
  EXPECT_EQ(1234, poll(transfer).total);
  EXPECT_EQ(-1, poll(transfer).progress);
  acceptTransfer();
  EXPECT_EQ(concat({word(CMD_DOWNLOAD), pathField("/phone/f")}), peer.read(1028));
  const std::string data = patterned(3001);
  peer.send(concat({reply(0, 3001), text(data)}));
  ASSERT_TRUE(progressReaches(transfer, 3001));
  EXPECT_EQ(3001, poll(transfer).total);
  EXPECT_EQ(0, CloseTransHandle(transfer));
  EXPECT_EQ(data, readFile(dir / "down"));
}

TEST_F(TransferTest, RefusedDownloadFailsWithoutALocalFile) {
  TransferHandle transfer = DownFromPhoneAsync(handle, "/missing", (dir / "never").string().c_str());
  ASSERT_NE(nullptr, transfer);
  EXPECT_EQ(-1, poll(transfer).total);  // the size query was refused
  acceptTransfer();
  peer.read(1028);
  peer.send(reply(1));
  EXPECT_TRUE(progressReaches(transfer, -2));
  EXPECT_FALSE(std::filesystem::exists(dir / "never"));
  EXPECT_EQ(0, CloseTransHandle(transfer));
}

TEST_F(TransferTest, MissingLocalFileGivesNoHandle) {
  LogCapture log;
  EXPECT_EQ(nullptr, CopyToPhoneAsync(handle, (dir / "absent").string().c_str(), "/p"));
  const std::string lines = log.text();
  const auto trace = lines.find("]CopyToPhoneAsync source " + (dir / "absent").string() + " dest /p\n");
  const auto error = lines.find("File " + (dir / "absent").generic_string() + " open error\n");
  ASSERT_NE(std::string::npos, trace);
  ASSERT_NE(std::string::npos, error);
  EXPECT_LT(trace, error);
}

TEST_F(TransferTest, CloseDuringAStalledStreamEndsItAtOnce) {
  responder->setFileSize(1 << 20);
  writeFile(dir / "partial", "before");
  TransferHandle transfer = DownFromPhoneAsync(handle, "/big", (dir / "partial").string().c_str());
  acceptTransfer();
  peer.read(1028);
  peer.send(concat({reply(0, 1 << 20), text(patterned(4500))}));
  ASSERT_TRUE(progressReaches(transfer, 4500));
  const auto start = Clock::now();
  EXPECT_EQ(0, CloseTransHandle(transfer));
  EXPECT_LT(Clock::now() - start, milliseconds(1000));  // well within the 3 s time-out
  EXPECT_TRUE(peer.clientClosed());
  // The destination is as before, and nothing was left beside it.
  EXPECT_EQ("before", readFile(dir / "partial"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

// The phone drops the link part-way, before or after the first piece: the
// existing destination keeps its content and nothing is left beside it.
TEST_F(TransferTest, ADownloadCutByThePhoneLeavesTheDestinationAsItWas) {
  for (const std::size_t arrived : {std::size_t{0}, std::size_t{10}, std::size_t{999}}) {
    SCOPED_TRACE(arrived);
    TempDir into;
    writeFile(into / "file", "the user's only copy");
    responder->setFileSize(1000);
    TransferHandle transfer = DownFromPhoneAsync(handle, "/f", (into / "file").string().c_str());
    acceptTransfer();
    peer.read(1028);
    peer.send(concat({reply(0, 1000), text(patterned(arrived))}));
    peer.close();
    EXPECT_TRUE(progressReaches(transfer, -2));
    EXPECT_EQ(0, CloseTransHandle(transfer));
    EXPECT_EQ("the user's only copy", readFile(into / "file"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(into.path()), {}), 1);
  }
}

TEST_F(TransferTest, CloseWhileLoggingInEndsPromptly) {
  writeFile(dir / "up", "x");
  TransferHandle transfer = CopyToPhoneAsync(handle, (dir / "up").string().c_str(), "/p");
  ASSERT_TRUE(peer.accept());
  peer.read(256);
  const auto start = Clock::now();
  EXPECT_EQ(0, CloseTransHandle(transfer));
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
  EXPECT_TRUE(peer.clientClosed());
}

TEST_F(TransferTest, EmptyUploadIsNotDoneBeforeThePhoneAcceptsIt) {
  writeFile(dir / "empty", "");
  TransferHandle transfer = CopyToPhoneAsync(handle, (dir / "empty").string().c_str(), "/e");
  acceptTransfer();
  EXPECT_EQ(concat({word(CMD_UPLOAD), pathField("/e"), word(0)}), peer.read(1032));
  EXPECT_EQ(-1, poll(transfer).progress);
  peer.send(reply(0));
  peer.answerSizeCheck(0);
  EXPECT_TRUE(progressReaches(transfer, 0));
  EXPECT_EQ(0, CloseTransHandle(transfer));
}

TEST_F(TransferTest, RefusedConnectionLeavesMinusOne) {
  writeFile(dir / "up", "abc");
  peer.stopListening();
  TransferHandle transfer = CopyToPhoneAsync(handle, (dir / "up").string().c_str(), "/p");
  ASSERT_NE(nullptr, transfer);
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(-1, poll(transfer).progress);
  EXPECT_EQ(3, poll(transfer).total);
  EXPECT_EQ(0, CloseTransHandle(transfer));
}

TEST_F(TransferTest, LostSessionStopsItsTransfers) {
  responder->setFileSize(1 << 20);
  TransferHandle streaming = DownFromPhoneAsync(handle, "/big", (dir / "d1").string().c_str());
  acceptTransfer();
  peer.read(1028);
  peer.send(concat({reply(0, 1 << 20), text(patterned(3000))}));
  ASSERT_TRUE(progressReaches(streaming, 3000));

  writeFile(dir / "up", "abc");
  TransferHandle loggingIn = CopyToPhoneAsync(handle, (dir / "up").string().c_str(), "/p");
  ASSERT_TRUE(peer.accept());
  peer.read(256);

  responder.reset();  // the phone stops answering the session
  EXPECT_TRUE(progressReaches(streaming, -2, milliseconds(6000)));
  EXPECT_TRUE(peer.clientClosed());
  EXPECT_EQ(-1, poll(loggingIn).progress);
  // Each handle still closes, without freeing anything twice.
  EXPECT_EQ(0, CloseTransHandle(streaming));
  EXPECT_EQ(0, CloseTransHandle(loggingIn));
  // A new transfer on the disconnected session still runs on its own connection.
  TransferHandle later = CopyToPhoneAsync(handle, (dir / "up").string().c_str(), "/p2");
  ASSERT_NE(nullptr, later);
  acceptTransfer();
  EXPECT_EQ(concat({word(CMD_UPLOAD), pathField("/p2"), word(3)}), peer.read(1032));
  peer.send(reply(0));
  EXPECT_EQ(text("abc"), peer.read(3));
  peer.answerSizeCheck(3);
  EXPECT_TRUE(progressReaches(later, 3));
  EXPECT_EQ(0, CloseTransHandle(later));
}

}  // namespace
}  // namespace korvex::test
