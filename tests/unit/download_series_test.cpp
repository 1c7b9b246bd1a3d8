// Downloads with their requests pipelined over a scripted peer: up to the
// window's requests leave back to back, the next one as soon as a reply
// frees a place, the replies are read in order, and what fails one file
// leaves the stream in step for the rest.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "protocol.h"
#include "session/download_series.h"
#include "session_fixture.h"
#include "temp_dir.h"

namespace korvex::test {
namespace {

using namespace protocol;

Bytes downloadRequest(std::string_view path) { return concat({word(CMD_DOWNLOAD), pathField(path)}); }
Bytes fileReply(const std::string& content) {
  return concat({reply(0, static_cast<std::uint32_t>(content.size())), text(content)});
}

// Starts DownloadFiles of /p0, /p1, ... to the local paths given.
std::future<int> start(SessionHandle handle, const std::vector<std::string>& locals,
                       std::vector<std::string>& phones, std::vector<int>& landed) {
  phones.clear();
  for (std::size_t i = 0; i < locals.size(); ++i) phones.push_back("/p" + std::to_string(i));
  landed.assign(locals.size(), -7);
  return std::async(std::launch::async, [handle, &locals, &phones, &landed] {
    std::vector<const char*> local, phone;
    for (const std::string& path : locals) local.push_back(path.c_str());
    for (const std::string& path : phones) phone.push_back(path.c_str());
    return DownloadFiles(handle, phone.data(), local.data(), static_cast<int>(local.size()), landed.data());
  });
}

// The first window leaves in one burst; after that each reply lets one more
// request out, before the file's bytes are read.
TEST(DownloadSeries, TheWindowFillsAtOnceAndEachReplyLetsTheNextRequestOut) {
  PeerSession s;
  TempDir dir;
  const std::size_t files = kDownloadWindow + 3;
  std::vector<std::string> locals, phones, contents;
  for (std::size_t i = 0; i < files; ++i) {
    locals.push_back((dir / ("f" + std::to_string(i))).string());
    contents.push_back(patterned(100 + i * 1000, static_cast<unsigned>(i)));
  }
  std::vector<int> landed;
  auto call = start(s.handle, locals, phones, landed);
  Bytes window;
  for (std::size_t i = 0; i < kDownloadWindow; ++i) window = concat({window, downloadRequest(phones[i])});
  EXPECT_EQ(window, concat({word(s.peer.readCode()), s.peer.read(window.size() - CODE_SIZE)}));
  EXPECT_TRUE(s.peer.quietFor(50)) << "a request beyond the window left";
  for (std::size_t i = 0; i < files; ++i) {
    // The header alone: the next request must not wait for the bytes.
    const Bytes whole = fileReply(contents[i]);
    s.peer.send(Bytes(whole.begin(), whole.begin() + REPLY_HEADER_SIZE));
    if (i + kDownloadWindow < files) {
      EXPECT_EQ(downloadRequest(phones[i + kDownloadWindow]), s.peer.read(CODE_SIZE + PATH_BLOCK_SIZE)) << i;
    }
    s.peer.send(Bytes(whole.begin() + REPLY_HEADER_SIZE, whole.end()));
  }
  EXPECT_EQ(static_cast<int>(files), call.get());
  EXPECT_EQ(std::vector<int>(files, 1), landed);
  for (std::size_t i = 0; i < files; ++i) EXPECT_EQ(contents[i], readFile(locals[i])) << i;
  EXPECT_TRUE(s.peer.quietFor(50));
}

// One file failing leaves the others landing and the stream in step: the
// next command gets its own reply. A break fails what is not complete,
// leaves every destination not landed as it was, and closes the connection.
TEST(DownloadSeries, OneFileFailsAloneAndABreakEndsTheSeries) {
  enum Local { Plain, NoFolder, DiskFull };
  enum Answer { Sent, Refused, CutOff };
  struct File {
    std::size_t size;
    Local local;
    Answer answer;
  };
  struct Case {
    const char* label;
    std::vector<File> files;
    int result;
    std::vector<int> landed;
  };
  std::vector<Case> cases = {
      {"all three", {{3000, Plain, Sent}, {0, Plain, Sent}, {70000, Plain, Sent}}, 3, {1, 1, 1}},
      {"the middle one refused", {{3000, Plain, Sent}, {0, Plain, Refused}, {5000, Plain, Sent}}, 2, {1, 0, 1}},
      {"the first and last refused", {{10, Plain, Refused}, {20, Plain, Sent}, {30, Plain, Refused}}, 1, {0, 1, 0}},
      {"a destination that cannot be made is not asked for",
       {{3000, Plain, Sent}, {10, NoFolder, Sent}, {5000, Plain, Sent}}, 2, {1, 0, 1}},
      {"the link drops inside the second file", {{3000, Plain, Sent}, {5000, Plain, CutOff}, {70, Plain, Sent}},
       -1, {1, 0, 0}},
      {"the link drops inside the first file", {{3000, Plain, CutOff}, {50, Plain, Sent}}, -1, {0, 0}},
  };
#ifdef __linux__
  // A disk that refuses the bytes: the rest is drained, far past one block.
  cases.push_back({"a file the disk refuses is drained", {{600000, DiskFull, Sent}, {4000, Plain, Sent}}, 1, {0, 1}});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    PeerSession s;
    TempDir dir;
    std::vector<std::string> locals, phones, contents;
    for (std::size_t i = 0; i < c.files.size(); ++i) {
      const File& f = c.files[i];
      locals.push_back(f.local == DiskFull   ? std::string("/dev/full")
                       : f.local == NoFolder ? (dir / "no" / "f").string()
                                             : (dir / ("f" + std::to_string(i))).string());
      if (f.local == Plain) writeFile(locals.back(), "old");
      contents.push_back(patterned(f.size, static_cast<unsigned>(i + 1)));
    }
    std::vector<int> landed;
    auto call = start(s.handle, locals, phones, landed);
    Bytes requests;
    for (std::size_t i = 0; i < c.files.size(); ++i)
      if (c.files[i].local != NoFolder) requests = concat({requests, downloadRequest(phones[i])});
    EXPECT_EQ(requests, concat({word(s.peer.readCode()), s.peer.read(requests.size() - CODE_SIZE)}));
    bool cut = false;
    for (std::size_t i = 0; i < c.files.size() && !cut; ++i) {
      const File& f = c.files[i];
      if (f.local == NoFolder) continue;
      if (f.answer == Refused) {
        s.peer.send(reply(1));
      } else if (f.answer == Sent) {
        s.peer.send(fileReply(contents[i]));
      } else {
        const Bytes whole = fileReply(contents[i]);
        s.peer.send(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() / 2)));
        s.peer.close();
        cut = true;
      }
    }
    EXPECT_EQ(c.result, call.get());
    EXPECT_EQ(c.landed, landed);
    for (std::size_t i = 0; i < c.files.size(); ++i) {
      if (c.files[i].local != Plain) continue;
      EXPECT_EQ(landed[i] ? contents[i] : "old", readFile(locals[i])) << i;
    }
    // Nothing but the destinations themselves: no temporary file stays.
    std::size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) entries += entry.is_regular_file();
    EXPECT_EQ(std::count_if(c.files.begin(), c.files.end(), [](const File& f) { return f.local == Plain; }),
              static_cast<std::ptrdiff_t>(entries));
    EXPECT_EQ(cut ? 0 : 1, connectedFlag(s.handle));
    if (!cut) {
      auto next = std::async(std::launch::async, [&] { return FileSize(s.handle, "/next"); });
      EXPECT_EQ(concat({word(CMD_FILE_SIZE), pathField("/next")}), s.peer.readRequest(PATH_BLOCK_SIZE));
      s.peer.send(reply(0, 777));
      EXPECT_EQ(777, next.get());
    }
  }
}

// Bad arguments send nothing at all.
TEST(DownloadSeries, BadArgumentsSendNothing) {
  PeerSession s;
  const char* one[] = {"a"};
  const char* none[] = {nullptr};
  int flags[1] = {-7};
  EXPECT_EQ(-1, DownloadFiles(s.handle, one, none, 1, flags));
  EXPECT_EQ(0, flags[0]);
  EXPECT_EQ(-1, DownloadFiles(s.handle, one, one, -1, flags));
  EXPECT_EQ(-1, DownloadFiles(s.handle, nullptr, one, 1, flags));
  EXPECT_EQ(-1, DownloadFiles(s.handle, one, one, 1, nullptr));
  EXPECT_EQ(0, DownloadFiles(s.handle, nullptr, nullptr, 0, nullptr));
  EXPECT_TRUE(s.peer.quietFor(100));
}

}  // namespace
}  // namespace korvex::test
