// Uploads run back to back over a scripted peer: each file's confirming
// size request travels with the next file's upload request, and a file
// counts only once the phone answered its exact size.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "protocol.h"
#include "session_fixture.h"
#include "temp_dir.h"

namespace korvex::test {
namespace {

using namespace protocol;

Bytes uploadRequest(std::string_view path, std::size_t size) {
  return concat({word(CMD_UPLOAD), pathField(path), word(static_cast<std::uint32_t>(size))});
}
Bytes sizeRequest(std::string_view path) { return concat({word(CMD_FILE_SIZE), pathField(path)}); }

class UploadSeriesTest : public ::testing::Test {
 protected:
  // Writes the local files and starts UploadFiles for them, to /p0, /p1, ...
  std::future<int> start(const std::vector<std::string>& contents, std::vector<int>& landed) {
    locals_.clear();
    phones_.clear();
    for (std::size_t i = 0; i < contents.size(); ++i) {
      locals_.push_back((dir_ / ("f" + std::to_string(i))).string());
      phones_.push_back("/p" + std::to_string(i));
      writeFile(locals_.back(), contents[i]);
    }
    landed.assign(contents.size(), -7);
    return std::async(std::launch::async, [this, &landed] {
      std::vector<const char*> local, phone;
      for (const std::string& path : locals_) local.push_back(path.c_str());
      for (const std::string& path : phones_) phone.push_back(path.c_str());
      return UploadFiles(s_.handle, local.data(), phone.data(), static_cast<int>(local.size()), landed.data());
    });
  }
  TempDir dir_;
  PeerSession s_;
  std::vector<std::string> locals_, phones_;
};

// One round trip per file: the first request alone, then each file's bytes
// followed by its size question and the next request in one burst.
TEST_F(UploadSeriesTest, EachConfirmationTravelsWithTheNextRequest) {
  const std::vector<std::string> contents = {patterned(3000, 1), "", patterned(70000, 3)};
  std::vector<int> landed;
  auto call = start(contents, landed);
  EXPECT_EQ(uploadRequest("/p0", 3000), s_.peer.readRequest(1028));
  s_.peer.send(reply(0));
  for (std::size_t i = 0; i < contents.size(); ++i) {
    const std::string phone = "/p" + std::to_string(i);
    Bytes burst = concat({text(contents[i]), sizeRequest(phone)});
    if (i + 1 < contents.size()) burst = concat({burst, uploadRequest("/p" + std::to_string(i + 1), contents[i + 1].size())});
    EXPECT_EQ(burst, s_.peer.read(burst.size())) << i;
    EXPECT_TRUE(s_.peer.quietFor(50)) << "more was sent before the replies to file " << i;
    s_.peer.send(reply(0, static_cast<std::uint32_t>(contents[i].size())));
    if (i + 1 < contents.size()) s_.peer.send(reply(0));
  }
  EXPECT_EQ(3, call.get());
  EXPECT_EQ((std::vector<int>{1, 1, 1}), landed);
}

// What fails one file leaves the stream in step and the rest going; a
// break fails what is not yet confirmed and closes the connection.
TEST_F(UploadSeriesTest, OneFileFailsAloneAndABreakEndsTheSeries) {
  const std::string a = patterned(500, 1), b = patterned(600, 2);
  struct Case {
    const char* label;
    Bytes firstConfirmation;  // the answer to /p0's size
    Bytes secondRequestReply; // the answer to /p1's upload request
    bool closesAfter;         // the peer then closes instead of going on
    int result;
    std::vector<int> landed;
  };
  const std::vector<Case> cases = {
      {"another size held", reply(0, 499), reply(0), false, 1, {0, 1}},
      {"second request refused", reply(0, 500), reply(1), false, 1, {1, 0}},
      {"the link drops after the first file", {}, {}, true, -1, {0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    PeerSession fresh;
    TempDir dir;
    writeFile(dir / "a", a);
    writeFile(dir / "b", b);
    const std::string la = (dir / "a").string(), lb = (dir / "b").string();
    const char* locals[] = {la.c_str(), lb.c_str()};
    const char* phones[] = {"/p0", "/p1"};
    int landed[2] = {-7, -7};
    auto call = std::async(std::launch::async, [&] { return UploadFiles(fresh.handle, locals, phones, 2, landed); });
    EXPECT_EQ(uploadRequest("/p0", 500), fresh.peer.readRequest(1028));
    fresh.peer.send(reply(0));
    const Bytes burst = concat({text(a), sizeRequest("/p0"), uploadRequest("/p1", 600)});
    EXPECT_EQ(burst, fresh.peer.read(burst.size()));
    if (c.closesAfter) {
      fresh.peer.close();
    } else {
      fresh.peer.send(concat({c.firstConfirmation, c.secondRequestReply}));
      if (c.landed[1] == 1) {
        EXPECT_EQ(concat({text(b), sizeRequest("/p1")}), fresh.peer.read(b.size() + 1028));
        fresh.peer.send(reply(0, 600));
      }
    }
    EXPECT_EQ(c.result, call.get());
    EXPECT_EQ(c.landed, std::vector<int>(landed, landed + 2));
    EXPECT_EQ(c.closesAfter ? 0 : 1, connectedFlag(fresh.handle));
  }
}

// A local file that cannot be read is skipped before anything is sent for
// it; bad arguments send nothing at all.
TEST_F(UploadSeriesTest, UnreadableFilesAndBadArgumentsSendNothing) {
  writeFile(dir_ / "x", "x");
  const std::string readable = (dir_ / "x").string();
  const char* locals[] = {"/no/such/file", readable.c_str()};
  const char* phones[] = {"/p0", "/p1"};
  int landed[2] = {-7, -7};
  auto call = std::async(std::launch::async, [&] { return UploadFiles(s_.handle, locals, phones, 2, landed); });
  EXPECT_EQ(uploadRequest("/p1", 1), s_.peer.readRequest(1028));
  s_.peer.send(reply(0));
  EXPECT_EQ(concat({text("x"), sizeRequest("/p1")}), s_.peer.read(1 + 1028));
  s_.peer.send(reply(0, 1));
  EXPECT_EQ(1, call.get());
  EXPECT_EQ(0, landed[0]);
  EXPECT_EQ(1, landed[1]);

  const char* one[] = {"a"};
  const char* none[] = {nullptr};
  int flags[1] = {-7};
  EXPECT_EQ(-1, UploadFiles(s_.handle, one, none, 1, flags));
  EXPECT_EQ(0, flags[0]);
  EXPECT_EQ(-1, UploadFiles(s_.handle, one, one, -1, flags));
  EXPECT_EQ(-1, UploadFiles(s_.handle, nullptr, one, 1, flags));
  EXPECT_EQ(0, UploadFiles(s_.handle, nullptr, nullptr, 0, nullptr));
  EXPECT_EQ(0, UploadFiles(s_.handle, locals, phones, 1, flags));
  EXPECT_TRUE(s_.peer.quietFor(100));
}

}  // namespace
}  // namespace korvex::test
