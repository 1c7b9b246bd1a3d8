// Pipelined batches over a scripted peer: the exact bytes of each burst,
// the windows, and what a refusal or a break in the middle leaves behind.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "session/batches.h"
#include "protocol.h"
#include "session_fixture.h"

namespace korvex::test {
namespace {

using namespace protocol;

Bytes request(std::uint32_t code, std::string_view path) { return concat({word(code), pathField(path)}); }

Bytes sizeRequests(const std::vector<std::string>& paths) {
  Bytes all;
  for (const std::string& path : paths) {
    const Bytes one = request(CMD_FILE_SIZE, path);
    all.insert(all.end(), one.begin(), one.end());
  }
  return all;
}

Bytes listing(const std::vector<std::string>& names) {
  Bytes all = concat({reply(0), word(static_cast<std::uint32_t>(names.size()))});
  for (const std::string& name : names) {
    const NameRecord record = encodeName(name);
    all.insert(all.end(), record.begin(), record.end());
  }
  return all;
}

// A size reply: the size, or a refusal when negative.
Bytes sizeReply(std::int64_t size) { return size < 0 ? reply(1) : reply(0, static_cast<std::uint32_t>(size)); }

Bytes sizeReplies(const std::vector<std::int64_t>& sizes) {
  Bytes all;
  for (std::int64_t size : sizes) {
    const Bytes one = sizeReply(size);
    all.insert(all.end(), one.begin(), one.end());
  }
  return all;
}

struct Seen {
  std::string name;
  bool isDirectory;
  std::uint32_t size;
  bool operator==(const Seen&) const = default;
};

std::vector<Seen> seen(const KorvexEntry* entries, int count) {
  std::vector<Seen> all;
  for (int i = 0; i < count; ++i) all.push_back({entries[i].name, entries[i].isDirectory != 0, entries[i].size});
  return all;
}

class BatchesTest : public ::testing::Test {
 protected:
  // The two listings' requests, read as one run of bytes.
  void expectListings(const std::string& path) {
    EXPECT_EQ(request(CMD_LIST_DIRS, path), s.peer.readRequest(PATH_BLOCK_SIZE)) << path;
    EXPECT_EQ(request(CMD_LIST_FILES, path), s.peer.read(CODE_SIZE + PATH_BLOCK_SIZE)) << path;
  }
  // The session still answers: the stream was left in step.
  void expectStillInStep() {
    long long size = 0;
    const char* path = "/after";
    auto call = std::async(std::launch::async, [&] { return GetSizes(s.handle, &path, 1, &size); });
    EXPECT_EQ(request(CMD_FILE_SIZE, "/after"), s.peer.readRequest(PATH_BLOCK_SIZE));
    s.peer.send(reply(0, 77));
    EXPECT_EQ(1, call.get());
    EXPECT_EQ(77, size);
  }
  PeerSession s;
};

TEST_F(BatchesTest, EntriesAreTheDirectoriesThenTheSizedFiles) {
  struct Case {
    const char* label;
    std::string path;
    std::vector<std::string> directories, files;
    std::vector<std::string> sized;    // the paths whose sizes are asked
    std::vector<std::int64_t> sizes;   // the peer's answers, negative: refused
    std::vector<Seen> expected;
  };
  const std::vector<Case> cases = {
      {"both kinds, dots left out", "/d", {".", "sub", "..", "a"}, {"f1", "f2"}, {"/d/f1", "/d/f2"}, {10, 20},
       {{"sub", true, 0}, {"a", true, 0}, {"f1", false, 10}, {"f2", false, 20}}},
      {"a refused size leaves its file out", "/d/", {}, {"a", "b", "c"}, {"/d/a", "/d/b", "/d/c"}, {1, -1, 3},
       {{"a", false, 1}, {"c", false, 3}}},
      {"sizes are unsigned words", "/", {}, {"big"}, {"/big"}, {0xFFFFFFF0u}, {{"big", false, 0xFFFFFFF0u}}},
      {"empty names name nothing", "/e", {""}, {"", "x"}, {"/e/x"}, {5}, {{"x", false, 5}}},
      {"directories only: no size asked", "/e", {"s"}, {}, {}, {}, {{"s", true, 0}}},
  };
  for (const Case& c : cases) {
    KorvexEntry* entries = nullptr;
    auto call = std::async(std::launch::async, [&] { return GetEntries(s.handle, c.path.c_str(), &entries); });
    expectListings(c.path);
    s.peer.send(concat({listing(c.directories), listing(c.files)}));
    if (!c.sized.empty()) {
      EXPECT_EQ(sizeRequests(c.sized), s.peer.read(c.sized.size() * (CODE_SIZE + PATH_BLOCK_SIZE))) << c.label;
      s.peer.send(sizeReplies(c.sizes));
    }
    const int count = call.get();
    ASSERT_EQ(static_cast<int>(c.expected.size()), count) << c.label;
    EXPECT_EQ(c.expected, seen(entries, count)) << c.label;
    FreeEntries(entries);
  }
  expectStillInStep();
}

TEST_F(BatchesTest, NothingToReturnGivesNoBlock) {
  struct Case {
    const char* label;
    Bytes answer;  // both listings' replies
    int result;
  };
  const std::vector<Case> cases = {
      {"empty directory", concat({listing({".", ".."}), listing({})}), 0},
      {"refused directory", concat({reply(1), reply(1)}), -1},
      {"files refused after directories listed", concat({listing({"s"}), reply(1)}), -1},
  };
  for (const Case& c : cases) {
    KorvexEntry* entries = reinterpret_cast<KorvexEntry*>(&s);
    auto call = std::async(std::launch::async, [&] { return GetEntries(s.handle, "/d", &entries); });
    expectListings("/d");
    s.peer.send(c.answer);
    EXPECT_EQ(c.result, call.get()) << c.label;
    EXPECT_EQ(nullptr, entries) << c.label;
    // Nothing more is asked, and the stream is in step.
    expectStillInStep();
  }
}

TEST_F(BatchesTest, GuardsComeBeforeTheWire) {
  KorvexEntry* entries = reinterpret_cast<KorvexEntry*>(&s);
  EXPECT_EQ(-1, GetEntries(s.handle, std::string(MAX_PATH_LENGTH + 1, 'p').c_str(), &entries));
  EXPECT_EQ(nullptr, entries);
  EXPECT_EQ(-1, GetEntries(s.handle, "/d", nullptr));

  const std::string tooLong(MAX_PATH_LENGTH + 1, 'p');
  const char* paths[] = {"/a", tooLong.c_str()};
  long long sizes[] = {5, 5};
  EXPECT_EQ(-1, GetSizes(s.handle, paths, 2, sizes));
  EXPECT_EQ(-1, sizes[0]);
  EXPECT_EQ(-1, sizes[1]);
  EXPECT_EQ(0, GetSizes(s.handle, nullptr, 0, nullptr));
  EXPECT_EQ(-1, GetSizes(s.handle, paths, -1, sizes));
  EXPECT_TRUE(s.peer.quietFor(100));

  // A file whose whole path would not fit a request: the listings were
  // answered, no size is asked, the stream stays in step.
  const std::string deep(MAX_PATH_LENGTH - 2, 'd');
  auto call = std::async(std::launch::async, [&] { return GetEntries(s.handle, deep.c_str(), &entries); });
  expectListings(deep);
  s.peer.send(concat({listing({}), listing({"ab"})}));
  EXPECT_EQ(-1, call.get());
  EXPECT_EQ(nullptr, entries);
  expectStillInStep();
}

TEST_F(BatchesTest, SizesOfManyPaths) {
  const std::vector<std::string> names = {"/a", "/missing", "/c"};
  const char* paths[] = {names[0].c_str(), names[1].c_str(), names[2].c_str()};
  long long sizes[3] = {};
  auto call = std::async(std::launch::async, [&] { return GetSizes(s.handle, paths, 3, sizes); });
  EXPECT_EQ(request(CMD_FILE_SIZE, "/a"), s.peer.readRequest(PATH_BLOCK_SIZE));
  EXPECT_EQ(sizeRequests({"/missing", "/c"}), s.peer.read(2 * (CODE_SIZE + PATH_BLOCK_SIZE)));
  s.peer.send(sizeReplies({4000000000LL, -1, 0}));
  EXPECT_EQ(3, call.get());
  EXPECT_EQ(4000000000LL, sizes[0]);
  EXPECT_EQ(-1, sizes[1]);
  EXPECT_EQ(0, sizes[2]);
}

// Two windows are in flight: a third goes out only once the first is
// answered, so memory stays bounded while the link stays busy.
TEST_F(BatchesTest, TwoWindowsAreInFlight) {
  constexpr int kWindow = 2;
  constexpr std::size_t kRequest = CODE_SIZE + PATH_BLOCK_SIZE;
  std::vector<batches::Entry> out;
  auto call = std::async(std::launch::async, [&] { return s.session().entries("/w", out, kWindow); });
  expectListings("/w");
  s.peer.send(concat({listing({}), listing({"1", "2", "3", "4", "5"})}));
  EXPECT_EQ(sizeRequests({"/w/1", "/w/2", "/w/3", "/w/4"}), s.peer.read(4 * kRequest));
  EXPECT_TRUE(s.peer.quietFor(100)) << "a third window went out before the first was answered";
  s.peer.send(sizeReplies({100, 101}));
  EXPECT_EQ(sizeRequests({"/w/5"}), s.peer.read(kRequest));
  s.peer.send(sizeReplies({102, 103, 104}));
  ASSERT_EQ(batches::Outcome::Done, call.get());
  ASSERT_EQ(5u, out.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(std::to_string(i + 1), out[i].name);
    EXPECT_EQ(100u + i, out[i].size);
  }
}

// The way out is idle while a listing arrives: whole windows of size
// requests leave before the last name has come, as far as the directory's
// path leaves room for any name. A break then still fails the whole batch.
TEST_F(BatchesTest, SizeRequestsLeaveWhileTheListingArrives) {
  constexpr int kWindow = 4;
  constexpr std::size_t kRequest = CODE_SIZE + PATH_BLOCK_SIZE;
  struct Case {
    const char* label;
    std::string path;
    std::size_t early;  // requests the peer reads before the rest of the names
    bool cut;           // the peer closes once it has read them
  };
  const std::string deep = "/" + std::string(MAX_PATH_LENGTH - MAX_NAME_LENGTH - 1, 'd');
  const std::vector<Case> cases = {
      {"two windows before the listing ends", "/w", 2 * kWindow, false},
      {"a path that leaves no room for every name waits for them all", deep, 0, false},
      {"closed while the names arrive", "/w", 2 * kWindow, true},
  };
  std::vector<std::string> names, paths;
  for (int i = 0; i < 10; ++i) names.push_back("n" + std::to_string(i));
  for (const Case& c : cases) {
    PeerSession fresh;
    paths.clear();
    for (const std::string& name : names) paths.push_back(c.path + "/" + name);
    const Bytes records = listing(names);
    const std::size_t firstEight = records.size() - 2 * NAME_RECORD_SIZE;
    std::vector<batches::Entry> out;
    auto call = std::async(std::launch::async, [&] { return fresh.session().entries(c.path, out, kWindow); });
    EXPECT_EQ(request(CMD_LIST_DIRS, c.path), fresh.peer.readRequest(PATH_BLOCK_SIZE)) << c.label;
    EXPECT_EQ(request(CMD_LIST_FILES, c.path), fresh.peer.read(kRequest)) << c.label;
    fresh.peer.send(concat({listing({}), Bytes(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(firstEight))}));
    const std::vector<std::string> early(paths.begin(), paths.begin() + static_cast<std::ptrdiff_t>(c.early));
    EXPECT_EQ(sizeRequests(early), fresh.peer.read(c.early * kRequest)) << c.label;
    EXPECT_TRUE(fresh.peer.quietFor(100)) << c.label << ": more than two windows, or a part of one, went out";
    if (c.cut) {
      fresh.peer.close();
      EXPECT_EQ(batches::Outcome::Failed, call.get()) << c.label;
      EXPECT_TRUE(out.empty()) << c.label;
      EXPECT_EQ(0, connectedFlag(fresh.handle)) << c.label;
      continue;
    }
    fresh.peer.send(Bytes(records.begin() + static_cast<std::ptrdiff_t>(firstEight), records.end()));
    std::vector<std::int64_t> sizes;
    for (std::size_t i = 0; i < names.size(); ++i) sizes.push_back(static_cast<std::int64_t>(100 + i));
    if (c.early > 0) {
      fresh.peer.send(sizeReplies({sizes.begin(), sizes.begin() + kWindow}));
      EXPECT_EQ(sizeRequests({paths.begin() + static_cast<std::ptrdiff_t>(c.early), paths.end()}),
                fresh.peer.read((paths.size() - c.early) * kRequest)) << c.label;
      fresh.peer.send(sizeReplies({sizes.begin() + kWindow, sizes.end()}));
    } else {
      EXPECT_EQ(sizeRequests({paths.begin(), paths.begin() + 2 * kWindow}), fresh.peer.read(2 * kWindow * kRequest)) << c.label;
      fresh.peer.send(sizeReplies({sizes.begin(), sizes.begin() + kWindow}));
      EXPECT_EQ(sizeRequests({paths.begin() + 2 * kWindow, paths.end()}), fresh.peer.read(2 * kRequest)) << c.label;
      fresh.peer.send(sizeReplies({sizes.begin() + kWindow, sizes.end()}));
    }
    ASSERT_EQ(batches::Outcome::Done, call.get()) << c.label;
    ASSERT_EQ(names.size(), out.size()) << c.label;
    for (std::size_t i = 0; i < out.size(); ++i) {
      EXPECT_EQ(names[i], out[i].name) << c.label;
      EXPECT_EQ(100u + i, out[i].size) << c.label;
    }
  }
}

// The first window is smaller than the rest: it leaves with the first
// names, while the later ones wait to be whole.
TEST_F(BatchesTest, TheFirstWindowLeavesWithTheFirstNames) {
  constexpr int kWindow = 64;
  constexpr std::size_t kFirst = 32, kNames = 100, kSentFirst = 40;
  constexpr std::size_t kRequest = CODE_SIZE + PATH_BLOCK_SIZE;
  std::vector<std::string> names, paths;
  std::vector<std::int64_t> sizes;
  for (std::size_t i = 0; i < kNames; ++i) {
    names.push_back("n" + std::to_string(i));
    paths.push_back("/w/" + names.back());
    sizes.push_back(static_cast<std::int64_t>(i));
  }
  const Bytes records = listing(names);
  const auto cut = records.begin() + static_cast<std::ptrdiff_t>(records.size() - (kNames - kSentFirst) * NAME_RECORD_SIZE);
  std::vector<batches::Entry> out;
  auto call = std::async(std::launch::async, [&] { return s.session().entries("/w", out, kWindow); });
  expectListings("/w");
  s.peer.send(concat({listing({}), Bytes(records.begin(), cut)}));
  EXPECT_EQ(sizeRequests({paths.begin(), paths.begin() + kFirst}), s.peer.read(kFirst * kRequest));
  EXPECT_TRUE(s.peer.quietFor(100)) << "a second window went out before it was whole";
  s.peer.send(Bytes(cut, records.end()));
  EXPECT_EQ(sizeRequests({paths.begin() + kFirst, paths.end()}), s.peer.read((kNames - kFirst) * kRequest));
  s.peer.send(sizeReplies(sizes));
  ASSERT_EQ(batches::Outcome::Done, call.get());
  ASSERT_EQ(kNames, out.size());
  for (std::size_t i = 0; i < kNames; ++i) EXPECT_EQ(i, out[i].size) << out[i].name;
  expectStillInStep();
}

// A break anywhere ends the whole batch and the connection: no size is
// given to the wrong path, not even those already answered.
TEST_F(BatchesTest, BreakInAWindowFailsTheWholeBatch) {
  struct Case {
    const char* label;
    int window;
    Bytes answered;  // all the peer says to the window that breaks
    bool peerCloses; // or the reply stays short until the read times out
  };
  const std::vector<Case> cases = {
      {"two of five answered, then closed", batches::kWindow, sizeReplies({1, 2}), true},
      {"second window breaks off", 3, sizeReplies({4}), true},
      {"a short reply", batches::kWindow, concat({sizeReplies({1, 2}), Bytes(20, 0)}), false},
  };
  const std::vector<std::string> names = {"/1", "/2", "/3", "/4", "/5"};
  for (const Case& c : cases) {
    PeerSession fresh;
    std::vector<std::int64_t> sizes;
    const std::vector<std::string_view> paths(names.begin(), names.end());
    auto call = std::async(std::launch::async, [&] { return fresh.session().sizes(paths, sizes, c.window); });
    const std::size_t first = std::min<std::size_t>(c.window, names.size());
    fresh.peer.read(first * (CODE_SIZE + PATH_BLOCK_SIZE));
    if (first < names.size()) {
      fresh.peer.send(sizeReplies({1, 2, 3}));
      fresh.peer.read((names.size() - first) * (CODE_SIZE + PATH_BLOCK_SIZE));
    }
    fresh.peer.send(c.answered);
    if (c.peerCloses) {
      fresh.peer.close();
    } else {
      EXPECT_TRUE(fresh.peer.clientClosed(2 * IO_TIMEOUT_MS)) << c.label;
    }
    EXPECT_EQ(batches::Outcome::Failed, call.get()) << c.label;
    EXPECT_EQ(std::vector<std::int64_t>(names.size(), -1), sizes) << c.label;
  }
}

// Each path's three questions go out in one burst; how the answers are
// weighed, including a directory the phone also gives a size for.
TEST_F(BatchesTest, KindsOfManyPathsInOneBurst) {
  struct Case {
    const char* path;
    int isDirectory;   // reply status: 1 yes
    std::int64_t size; // refused when negative
    int exists;        // reply status: 1 yes
    int kind;
    long long expectedSize;
  };
  const std::vector<Case> cases = {
      {"/dir", 1, -1, 1, KORVEX_KIND_DIRECTORY, -1},
      {"/sized-dir", 1, 4096, 1, KORVEX_KIND_DIRECTORY, -1},
      {"/file", 0, 4000000000LL, 1, KORVEX_KIND_FILE, 4000000000LL},
      {"/empty", 0, 0, 1, KORVEX_KIND_FILE, 0},
      {"/huge", 0, -1, 1, KORVEX_KIND_UNSIZED, -1},
      {"/missing", 0, -1, 0, KORVEX_KIND_MISSING, -1},
  };
  std::vector<const char*> paths;
  Bytes requests;
  Bytes replies;
  for (const Case& c : cases) {
    paths.push_back(c.path);
    for (const Bytes& one : {request(CMD_IS_DIR, c.path), request(CMD_FILE_SIZE, c.path), request(CMD_EXISTS, c.path)}) {
      requests.insert(requests.end(), one.begin(), one.end());
    }
    for (const Bytes& one : {reply(c.isDirectory), sizeReply(c.size), reply(c.exists)}) {
      replies.insert(replies.end(), one.begin(), one.end());
    }
  }
  const int count = static_cast<int>(cases.size());
  std::vector<int> kinds(cases.size(), 9);
  std::vector<long long> sizes(cases.size(), 9);
  auto call = std::async(std::launch::async, [&] { return GetKinds(s.handle, paths.data(), count, kinds.data(), sizes.data()); });
  EXPECT_EQ(requests, s.peer.read(requests.size()));
  EXPECT_TRUE(s.peer.quietFor(50));
  s.peer.send(replies);
  EXPECT_EQ(count, call.get());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(cases[i].kind, kinds[i]) << cases[i].path;
    EXPECT_EQ(cases[i].expectedSize, sizes[i]) << cases[i].path;
  }
  expectStillInStep();
}

TEST_F(BatchesTest, KindsGuardsAndBreaks) {
  const std::string tooLong(MAX_PATH_LENGTH + 1, 'p');
  const char* paths[] = {"/a", tooLong.c_str()};
  int kinds[] = {5, 5};
  long long sizes[] = {5, 5};
  EXPECT_EQ(-1, GetKinds(s.handle, paths, 2, kinds, sizes));
  EXPECT_EQ((std::vector<int>{kinds, kinds + 2}), (std::vector<int>{-1, -1}));
  EXPECT_EQ(-1, GetKinds(s.handle, paths, 1, nullptr, sizes));
  EXPECT_EQ(-1, GetKinds(s.handle, paths, -1, kinds, sizes));
  EXPECT_EQ(0, GetKinds(s.handle, nullptr, 0, nullptr, nullptr));
  EXPECT_TRUE(s.peer.quietFor(100));

  // Sizes are optional; an answer for the first path only, then a break:
  // nothing is given, and the connection is gone.
  auto call = std::async(std::launch::async, [&] { return GetKinds(s.handle, paths, 1, kinds, nullptr); });
  s.peer.read(3 * (CODE_SIZE + PATH_BLOCK_SIZE));
  s.peer.send(concat({reply(0), reply(0, 3)}));
  s.peer.close();
  EXPECT_EQ(-1, call.get());
  EXPECT_EQ(-1, kinds[0]);
  EXPECT_EQ(0, connectedFlag(s.handle));
}

TEST_F(BatchesTest, BrokenEntriesCloseTheConnectionAndGiveNoBlock) {
  KorvexEntry* entries = reinterpret_cast<KorvexEntry*>(&s);
  auto call = std::async(std::launch::async, [&] { return GetEntries(s.handle, "/d", &entries); });
  expectListings("/d");
  s.peer.send(concat({listing({}), listing({"a", "b", "c", "d", "e"})}));
  s.peer.read(5 * (CODE_SIZE + PATH_BLOCK_SIZE));
  s.peer.send(concat({sizeReplies({1, 2}), Bytes(20, 0)}));
  EXPECT_TRUE(s.peer.clientClosed(2 * IO_TIMEOUT_MS));
  EXPECT_EQ(-1, call.get());
  EXPECT_EQ(nullptr, entries);
  long long size = 5;
  const char* path = "/a";
  EXPECT_EQ(-1, GetSizes(s.handle, &path, 1, &size));  // the connection is gone
  EXPECT_EQ(-1, size);
}

}  // namespace
}  // namespace korvex::test
