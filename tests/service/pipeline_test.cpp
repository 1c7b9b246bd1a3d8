// Pipelined requests: a burst written before any reply is read is answered in
// order, byte for byte as the same requests one at a time, however the burst
// is cut up on its way and however large it is.
#include <chrono>
#include <map>
#include <thread>

#include "service_fixture.h"

namespace korvex::test {
namespace {

namespace proto = korvex::protocol;

// How a reply ends: its length is known from its header, or it is one word.
enum class Answer { Header, Listing, Download, Space };

struct Step {
  std::uint32_t code;
  proto::RequestBlock block;
  Answer answer = Answer::Header;
  Bytes data{};        // an upload's bytes, which follow its request
  bool exact = true;   // false: free space, which others change meanwhile
};

Bytes requestBytes(std::uint32_t code, const proto::RequestBlock& block) {
  Bytes bytes = word(code);
  bytes.insert(bytes.end(), block.data(), block.data() + block.size());
  return bytes;
}

// One reply whole, its data phase included; short when the service stopped.
Bytes readAnswer(RawClient& client, Answer answer) {
  if (answer == Answer::Space) return client.read(proto::SPACE_REPLY_SIZE);
  Bytes bytes = client.read(proto::REPLY_HEADER_SIZE);
  if (bytes.size() != proto::REPLY_HEADER_SIZE || answer == Answer::Header) return bytes;
  const proto::ReplyHeader header = proto::decodeReply(bytes.data());
  if (header.status != 0) return bytes;
  std::size_t rest = header.value;
  if (answer == Answer::Listing) {
    Bytes count = client.read(proto::LIST_COUNT_SIZE);
    bytes.insert(bytes.end(), count.begin(), count.end());
    if (count.size() != proto::LIST_COUNT_SIZE) return bytes;
    rest = std::size_t{proto::getWord(count.data())} * proto::NAME_RECORD_SIZE;
  }
  Bytes tail = client.read(rest);
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  return bytes;
}

// Every kind of exchange, refusals in between, and uploads followed by
// requests that see their files; paths below `dir`.
std::vector<Step> mixedSteps(const std::string& dir) {
  auto path = [&](std::string_view name) { return proto::pathBlock(dir + "/" + std::string(name)); };
  return {
      {proto::CMD_FILE_SIZE, path("a.txt")},
      {proto::CMD_FILE_SIZE, path("missing")},
      {proto::CMD_EXISTS, path("a.txt")},
      {proto::CMD_EXISTS, path("missing")},
      {proto::CMD_IS_DIR, path("sub")},
      {proto::CMD_IS_DIR, path("a.txt")},
      {proto::CMD_LIST_FILES, proto::pathBlock(dir), Answer::Listing},
      {proto::CMD_LIST_DIRS, proto::pathBlock(dir), Answer::Listing},
      {proto::CMD_LIST_FILES, path("missing"), Answer::Listing},
      {proto::CMD_LIST_DIRS, path("sub/empty"), Answer::Listing},
      {proto::CMD_RENAME, proto::renameBlock(dir + "/a.txt", dir + "/moved.txt")},
      {proto::CMD_FILE_SIZE, path("moved.txt")},
      {proto::CMD_EXISTS, path("a.txt")},
      {proto::CMD_SPACE_SIZE, path("missing"), Answer::Space},
      {proto::CMD_SPACE_SIZE, proto::pathBlock(dir), Answer::Space, {}, false},
      {proto::CMD_UPLOAD, proto::uploadBlock(dir + "/small.bin", 3000), Answer::Header, patternBytes(3000, 7)},
      {proto::CMD_FILE_SIZE, path("small.bin")},
      {proto::CMD_DOWNLOAD, path("small.bin"), Answer::Download},
      {proto::CMD_DOWNLOAD, path("sub/b.bin"), Answer::Download},
      {proto::CMD_KEEPALIVE, proto::RequestBlock(0)},
      {proto::CMD_DOWNLOAD, path("missing"), Answer::Download},
      // Larger than the service's receive buffer: part of it arrives with the
      // requests before it, the rest straight from the socket.
      {proto::CMD_UPLOAD, proto::uploadBlock(dir + "/large.bin", 300000), Answer::Header, patternBytes(300000, 8)},
      {proto::CMD_FILE_SIZE, path("large.bin")},
      {proto::CMD_MAKE_DIR, path("made")},
      {proto::CMD_DELETE_FILE, path("moved.txt")},
      {proto::CMD_LIST_FILES, proto::pathBlock(dir), Answer::Listing},
      {proto::CMD_LIST_DIRS, proto::pathBlock(dir), Answer::Listing},
  };
}

class PipelineTest : public ServiceTest {
 protected:
  void seed(const std::string& dir) {
    writeFile(root() / dir / "a.txt", patternBytes(300, 1));
    writeFile(root() / dir / "sub/b.bin", patternBytes(1501, 2));
    fs::create_directories(root() / dir / "sub/empty");
  }

  // The steps one at a time, each reply read before the next request is
  // sent, as a client that does not pipeline sees them.
  std::vector<Bytes> oneAtATime(const std::vector<Step>& steps) {
    auto client = loggedIn();
    std::vector<Bytes> answers;
    for (const Step& step : steps) {
      EXPECT_TRUE(client->send(requestBytes(step.code, step.block)));
      answers.push_back(readAnswer(*client, step.answer));
      if (!step.data.empty()) {
        EXPECT_TRUE(client->send(step.data));
      }
    }
    return answers;
  }

  // The steps as one stream sent in pieces cut at `cuts` (none: in a single
  // send), a pause after each piece, and only then every reply read.
  std::vector<Bytes> burst(const std::vector<Step>& steps, std::vector<std::size_t> cuts = {}) {
    Bytes stream;
    for (const Step& step : steps) {
      Bytes request = requestBytes(step.code, step.block);
      stream.insert(stream.end(), request.begin(), request.end());
      stream.insert(stream.end(), step.data.begin(), step.data.end());
    }
    auto client = loggedIn();
    client->sendAtOnce();
    cuts.push_back(stream.size());
    std::size_t sent = 0;
    for (std::size_t cut : cuts) {
      EXPECT_TRUE(client->send(stream.data() + sent, cut - sent));
      sent = cut;
      if (sent < stream.size()) std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    std::vector<Bytes> answers;
    for (const Step& step : steps) answers.push_back(readAnswer(*client, step.answer));
    return answers;
  }

  // Where step `index` starts in the stream `burst` sends.
  static std::size_t offsetOf(const std::vector<Step>& steps, std::size_t index) {
    std::size_t offset = 0;
    for (std::size_t i = 0; i < index; ++i)
      offset += proto::CODE_SIZE + static_cast<std::size_t>(steps[i].block.size()) + steps[i].data.size();
    return offset;
  }

  std::map<std::string, Bytes> tree(const std::string& dir) {
    std::map<std::string, Bytes> files;
    for (const auto& entry : fs::recursive_directory_iterator(root() / dir)) {
      files[fs::relative(entry.path(), root() / dir).string()] =
          entry.is_regular_file() ? readFile(entry.path()) : Bytes{'/'};
    }
    return files;
  }
};

TEST_F(PipelineTest, ABurstIsAnsweredInOrderAsOneAtATime) {
  seed("single");
  const std::vector<Step> reference = mixedSteps("/single");
  const std::vector<Bytes> expected = oneAtATime(reference);
  ASSERT_EQ(expected.size(), reference.size());
  // The reference itself: refusals where a path is missing, and the files.
  EXPECT_EQ(expected[0], reply(0, 300));
  EXPECT_EQ(expected[1], reply(1));
  EXPECT_EQ(expected[13], word(0xFFFFFFFFu));
  EXPECT_EQ(expected[17], concat({reply(0, 3000), patternBytes(3000, 7)}));
  EXPECT_EQ(expected[22], reply(0, 300000));
  EXPECT_EQ(expected[25], concat({reply(0), word(2), pathField("large.bin", 256), pathField("small.bin", 256)}));

  const std::vector<Step> shape = mixedSteps("/x");
  const std::size_t smallData = offsetOf(shape, 15) + proto::CODE_SIZE + proto::UPLOAD_BLOCK_SIZE;
  const std::size_t largeData = offsetOf(shape, 21) + proto::CODE_SIZE + proto::UPLOAD_BLOCK_SIZE;
  struct Case {
    const char* name;
    std::vector<std::size_t> cuts;
  };
  const Case cases[] = {
      {"one send", {}},
      {"cut mid-code, mid-block and mid-upload",
       {offsetOf(shape, 2) + 2, offsetOf(shape, 4) + proto::CODE_SIZE + 500, smallData + 1000, largeData + 100000}},
      {"cut after a code, before an upload's data and after its last byte",
       {offsetOf(shape, 6) + proto::CODE_SIZE, smallData, largeData, largeData + 300000}},
      {"cut a byte into every request", [&] {
         std::vector<std::size_t> cuts;
         for (std::size_t i = 0; i < shape.size(); ++i) cuts.push_back(offsetOf(shape, i) + 1);
         return cuts;
       }()},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = "burst" + std::to_string(n++);
    seed(dir);
    const std::vector<Step> steps = mixedSteps("/" + dir);
    const std::vector<Bytes> answers = burst(steps, c.cuts);
    ASSERT_EQ(answers.size(), expected.size());
    for (std::size_t i = 0; i < steps.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i));
      if (steps[i].exact) {
        EXPECT_EQ(answers[i], expected[i]);
      } else {
        ASSERT_EQ(answers[i].size(), proto::SPACE_REPLY_SIZE);
        EXPECT_GT(static_cast<std::int32_t>(proto::getWord(answers[i].data())), 0);
      }
    }
    EXPECT_EQ(tree(dir), tree("single"));
  }
}

// Many times what one receive takes: 2,000 size requests, half of them
// refused, in one send.
TEST_F(PipelineTest, ABurstLargerThanTheReceiveBuffer) {
  writeFile(root() / "f", patternBytes(1234));
  const Step present{proto::CMD_FILE_SIZE, proto::pathBlock("/f")};
  const Step missing{proto::CMD_FILE_SIZE, proto::pathBlock("/missing")};
  const std::vector<Bytes> single = oneAtATime({present, missing});
  ASSERT_EQ(single, (std::vector<Bytes>{reply(0, 1234), reply(1)}));

  std::vector<Step> steps;
  for (int i = 0; i < 2000; ++i) steps.push_back(i % 3 == 1 ? missing : present);
  const std::vector<Bytes> answers = burst(steps);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    ASSERT_EQ(answers[i], single[i % 3 == 1 ? 1 : 0]) << "reply " << i;
  }
}

// A request that ends the connection does so after the replies to those
// before it, and answers nothing after it.
TEST_F(PipelineTest, ARequestThatClosesComesAfterTheRepliesBeforeIt) {
  writeFile(root() / "f", patternBytes(10));
  Bytes unterminated = word(proto::CMD_EXISTS);
  unterminated.resize(proto::CODE_SIZE + proto::PATH_BLOCK_SIZE, 'a');
  struct Case {
    const char* name;
    Bytes offence;
    const char* logged;
  };
  const Case cases[] = {
      {"unknown code", word(99), "closed (unknown command code 99)"},
      {"path without its NUL", unterminated, "closed (EXISTS request with a path field lacking its NUL)"},
  };
  const Bytes before = concat({requestBytes(proto::CMD_FILE_SIZE, proto::pathBlock("/f")),
                               requestBytes(proto::CMD_FILE_SIZE, proto::pathBlock("/missing")),
                               requestBytes(proto::CMD_LIST_FILES, proto::pathBlock("/"))});
  const Bytes expected = concat({reply(0, 10), reply(1), reply(0), word(1), pathField("f", 256)});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = loggedIn();
    ASSERT_TRUE(client->send(concat({before, c.offence, word(proto::CMD_KEEPALIVE)})));
    EXPECT_EQ(client->read(expected.size()), expected);
    EXPECT_TRUE(client->closedByService());
    EXPECT_TRUE(service_.waitForLog(c.logged));
  }
}

// A client that waits for a reply before it sends the rest of the next
// request gets that reply: nothing is held back while the service waits.
TEST_F(PipelineTest, NoReplyWaitsForTheRequestAfterIt) {
  writeFile(root() / "f", patternBytes(10));
  const Bytes next = requestBytes(proto::CMD_EXISTS, proto::pathBlock("/f"));
  const Bytes upload = requestBytes(proto::CMD_UPLOAD, proto::uploadBlock("/up", 100000));
  const Bytes content = patternBytes(100000);
  struct Case {
    const char* name;
    Bytes first;         // its reply is read before the rest is sent
    Bytes firstReply;
    Bytes rest;
  };
  const Case cases[] = {
      {"nothing of the next", requestBytes(proto::CMD_FILE_SIZE, proto::pathBlock("/f")), reply(0, 10), next},
      {"part of the next code", concat({requestBytes(proto::CMD_FILE_SIZE, proto::pathBlock("/f")),
                                        Bytes(next.begin(), next.begin() + 2)}),
       reply(0, 10), Bytes(next.begin() + 2, next.end())},
      {"part of the next block", concat({requestBytes(proto::CMD_LIST_DIRS, proto::pathBlock("/")),
                                         Bytes(next.begin(), next.begin() + 300)}),
       concat({reply(0), word(0)}), Bytes(next.begin() + 300, next.end())},
      // The upload's go-ahead, then its data in memory and spliced.
      {"an upload's data", upload, reply(0), concat({content, next})},
      {"part of an upload's data", concat({upload, Bytes(content.begin(), content.begin() + 70000)}), reply(0),
       concat({Bytes(content.begin() + 70000, content.end()), next})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = loggedIn();
    ASSERT_TRUE(client->send(c.first));
    EXPECT_EQ(client->read(c.firstReply.size()), c.firstReply);
    ASSERT_TRUE(client->send(c.rest));
    EXPECT_EQ(client->read(proto::REPLY_HEADER_SIZE), reply(1));
  }
  EXPECT_EQ(readFile(root() / "up"), content);
}

// The login block and the first requests in one send.
TEST_F(PipelineTest, RequestsRightBehindTheLogin) {
  writeFile(root() / "f", patternBytes(10));
  RawClient client(service_.port());
  ASSERT_TRUE(client.connected());
  const auto password = proto::encodePassword(service_.password());
  ASSERT_TRUE(client.send(concat({Bytes(password.begin(), password.end()),
                                  requestBytes(proto::CMD_FILE_SIZE, proto::pathBlock("/f")),
                                  word(proto::CMD_KEEPALIVE)})));
  EXPECT_EQ(client.read(proto::LOGIN_REPLY_SIZE + proto::DEVICE_NAME_SIZE + 2 * proto::REPLY_HEADER_SIZE),
            concat({loginAnswer(service_.deviceName()), reply(0, 10), reply(0)}));
}

}  // namespace
}  // namespace korvex::test
