// Many uploads to one name at once: each lands whole under the name by one
// rename, the last rename wins, and no temporary file is left.
//
// Every uploader sends all of its file but the last byte, so 64 uploads are
// in progress together; then the last bytes go out, either one uploader at
// a time (each stored before the next, the order known) or all together.
#include <algorithm>
#include <random>
#include <thread>

#include "deadline.h"
#include "service_fixture.h"

namespace korvex::test {
namespace {

namespace proto = korvex::protocol;

constexpr int kUploaders = 64;

struct Case {
  const char* name;
  std::size_t size;  // 1 KiB goes through korvexd's buffer; 300 KiB is spliced
  bool inTurn;       // last bytes one uploader at a time, else all at once
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

// The uploads stored last wait for all the others: under a sanitizer on a
// busy machine that is longer than korvexd's default stall limit.
ServiceProcess::Options patientService() {
  ServiceProcess::Options options;
  options.extraArgs = {"--io-timeout-ms", "120000"};
  return options;
}

class ConcurrentUploadsTest : public ServiceTest, public ::testing::WithParamInterface<Case> {
 protected:
  ConcurrentUploadsTest() : ServiceTest(patientService()) {}

  std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // Waits until `count` upload temporaries sit beside the destination; how
  // many there are.
  std::size_t temporariesReach(std::size_t count) {
    const Deadline deadline(std::chrono::seconds(5));
    for (;;) {
      const auto names = namesIn(root() / "d");
      const auto temps = std::count_if(names.begin(), names.end(),
                                       [](const std::string& n) { return n.starts_with(".korvexd-upload-"); });
      if (static_cast<std::size_t>(temps) == count || deadline.leftMs() == 0) return static_cast<std::size_t>(temps);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
};

TEST_P(ConcurrentUploadsTest, EachLandsWholeAndTheLastRenameWins) {
  const Case& c = GetParam();
  const Bytes old = patternBytes(c.size, 999);
  writeFile(root() / "d" / "same.bin", old);

  std::vector<std::unique_ptr<RawClient>> clients;
  std::vector<Bytes> contents;
  for (int i = 0; i < kUploaders; ++i) {
    clients.push_back(loggedIn());
    clients[i]->sendAtOnce();  // the last byte and the keep-alive after it leave at once
    contents.push_back(patternBytes(c.size, static_cast<unsigned>(i + 1)));
    const auto size = static_cast<std::uint32_t>(c.size);
    ASSERT_EQ(clients[i]->status(proto::CMD_UPLOAD, proto::uploadBlock("/d/same.bin", size)), 0) << i;
    ASSERT_TRUE(clients[i]->send(contents[i].data(), c.size - 1)) << i;
  }
  ASSERT_EQ(temporariesReach(kUploaders), std::size_t{kUploaders}) << service_.log();
  // In progress, the uploads are invisible: the old file is whole and alone.
  EXPECT_EQ(readFile(root() / "d" / "same.bin"), old);
  EXPECT_EQ(loggedIn()->list(proto::CMD_LIST_FILES, "/d"), std::vector<std::string>{"same.bin"});

  std::vector<int> order(kUploaders);
  for (int i = 0; i < kUploaders; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(36));
  // A keep-alive sent after the last byte is answered once the upload is
  // stored: a connection serves one command at a time.
  auto finish = [&](int i) { return clients[i]->send(&contents[i].back(), 1) && clients[i]->request(proto::CMD_KEEPALIVE); };
  auto stored = [&](int i) {
    auto header = clients[i]->reply();
    return header && header->status == 0;
  };
  if (c.inTurn) {
    for (int i : order) {
      ASSERT_TRUE(finish(i) && stored(i)) << i;
      ASSERT_EQ(readFile(root() / "d" / "same.bin"), contents[i]) << "after uploader " << i << " was stored";
    }
  } else {
    for (int i : order) ASSERT_TRUE(finish(i)) << i;
    for (int i : order) EXPECT_TRUE(stored(i)) << i;
    const Bytes final = readFile(root() / "d" / "same.bin");
    EXPECT_EQ(std::count(contents.begin(), contents.end(), final), 1) << "the file is none of the uploads whole";
  }
  EXPECT_EQ(namesIn(root() / "d"), std::vector<std::string>{"same.bin"});
}

INSTANTIATE_TEST_SUITE_P(Uploads, ConcurrentUploadsTest,
                         ::testing::Values(Case{"SmallInTurn", 1000, true}, Case{"SmallAtOnce", 1000, false},
                                           Case{"SplicedInTurn", 300 * 1024, true},
                                           Case{"SplicedAtOnce", 300 * 1024, false}),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvex::test
