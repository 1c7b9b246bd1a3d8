// Listings over a scripted peer: the joined buffer, the results, and names
// or counts that a peer may send.
#include <gtest/gtest.h>

#include "protocol.h"
#include "session_fixture.h"

namespace korvex::test {
namespace {

using namespace protocol;

Bytes record(std::string_view name) {
  const NameRecord r = encodeName(name);
  return Bytes(r.begin(), r.end());
}

Bytes listing(std::initializer_list<std::string_view> names) {
  Bytes all = concat({reply(0), word(static_cast<std::uint32_t>(names.size()))});
  for (std::string_view name : names) {
    const Bytes r = record(name);
    all.insert(all.end(), r.begin(), r.end());
  }
  return all;
}

struct Listed {
  int result;
  char* buffer;
};

class ListingTest : public ::testing::Test {
 protected:
  // Runs GetFiles with `answer` as the peer's whole reply.
  Listed files(const Bytes& answer, const char* path = "/dir") {
    char* out = sentinel();
    auto call = std::async(std::launch::async, [&] { return GetFiles(s.handle, path, &out); });
    EXPECT_EQ(concat({word(CMD_LIST_FILES), pathField(path)}), s.peer.readRequest(1024));
    s.peer.send(answer);
    const int result = call.get();
    return {result, out};
  }
  static char* sentinel() { return reinterpret_cast<char*>(&sentinelByte); }
  static inline char sentinelByte = 0;
  PeerSession s;
};

TEST_F(ListingTest, JoinsNamesWithSlashes) {
  const Listed two = files(listing({"a", "bc"}));
  ASSERT_EQ(5, two.result);
  EXPECT_EQ(0, std::memcmp(two.buffer, "a/bc/\0", 6));
  FreeBuffer(two.buffer);

  const Listed empties = files(listing({"", ""}));
  ASSERT_EQ(2, empties.result);
  EXPECT_STREQ("//", empties.buffer);
  FreeBuffer(empties.buffer);

  const std::string longest(255, 'n');
  const Listed full = files(listing({longest}));
  ASSERT_EQ(256, full.result);
  EXPECT_EQ(longest + "/", full.buffer);
  FreeBuffer(full.buffer);
}

TEST_F(ListingTest, NothingToReturnLeavesTheOutputAlone) {
  const Listed none = files(listing({}));
  EXPECT_EQ(0, none.result);
  EXPECT_EQ(sentinel(), none.buffer);
  const Listed oneEmpty = files(listing({""}));
  EXPECT_EQ(0, oneEmpty.result);
  EXPECT_EQ(sentinel(), oneEmpty.buffer);
  const Listed refused = files(reply(1));
  EXPECT_EQ(-1, refused.result);
  EXPECT_EQ(sentinel(), refused.buffer);
  // A refusal leaves the stream in step.
  const Listed after = files(listing({"x"}));
  EXPECT_EQ(2, after.result);
  FreeBuffer(after.buffer);
}

TEST_F(ListingTest, GuardsComeBeforeTheWire) {
  EXPECT_EQ(-2, GetFiles(s.handle, std::string(1023, 'p').c_str(), nullptr));
  char* out = sentinel();
  EXPECT_EQ(-3, GetDirectories(s.handle, std::string(1023, 'p').c_str(), &out));
  EXPECT_EQ(sentinel(), out);
  EXPECT_TRUE(s.peer.quietFor(100));
  const std::string longest(1022, 'p');
  const Listed sent = files(listing({"f"}), longest.c_str());
  EXPECT_EQ(2, sent.result);
  FreeBuffer(sent.buffer);
}

TEST_F(ListingTest, RecordWithoutNulGivesItsFirst255Bytes) {
  const Bytes answer = concat({reply(0), word(2), Bytes(256, 'x'), record("y")});
  const Listed listed = files(answer);
  ASSERT_EQ(258, listed.result);
  EXPECT_EQ(std::string(255, 'x') + "/y/", listed.buffer);
  FreeBuffer(listed.buffer);
}

TEST_F(ListingTest, ShortListingFailsAndClosesTheConnection) {
  char* out = sentinel();
  auto call = std::async(std::launch::async, [&] { return GetDirectories(s.handle, "/d", &out); });
  EXPECT_EQ(concat({word(CMD_LIST_DIRS), pathField("/d")}), s.peer.readRequest(1024));
  s.peer.send(concat({reply(0), word(5), record("a"), record("b"), record("c")}));
  s.peer.close();
  EXPECT_EQ(-1, call.get());
  EXPECT_EQ(sentinel(), out);
  EXPECT_EQ(-1, GetFiles(s.handle, "/d", &out));  // the connection is gone
}

TEST_F(ListingTest, HugeCountReservesNothingUpFront) {
  // The peer announces four thousand million names and sends two: memory
  // follows what arrives, and the listing ends with the connection.
  const Listed listed = [&] {
    char* out = sentinel();
    auto call = std::async(std::launch::async, [&] { return GetFiles(s.handle, "/d", &out); });
    s.peer.readRequest(1024);
    s.peer.send(concat({reply(0), word(0xFFFFFFFFu), record("a"), record("b")}));
    s.peer.close();
    return Listed{call.get(), out};
  }();
  EXPECT_EQ(-1, listed.result);
  EXPECT_EQ(sentinel(), listed.buffer);
}

TEST_F(ListingTest, TraceLines) {
  LogCapture log;
  char* out = nullptr;
  auto call = std::async(std::launch::async, [&] { return GetDirectories(s.handle, "/d", &out); });
  s.peer.readRequest(1024);
  s.peer.send(listing({"sub"}));
  ASSERT_EQ(4, call.get());
  FreeBuffer(out);
  const std::string lines = log.text();
  const auto number = reinterpret_cast<std::uintptr_t>(s.handle);
  EXPECT_NE(std::string::npos,
            lines.find("-" + std::to_string(static_cast<int>(static_cast<std::uint32_t>(number))) + "]GetDirectories /d\n"));
  EXPECT_NE(std::string::npos,
            lines.find("] GetDirs /d " + std::to_string(static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(&out))) + "\n"));
  EXPECT_NE(std::string::npos, lines.find("]GetDirs return sub/\n"));
  FreeBuffer(nullptr);
}

}  // namespace
}  // namespace korvex::test
