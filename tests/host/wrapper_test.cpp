// The C++ wrapper (korvex.hpp) as a host uses it: linked to the shared
// library, built as C++17, against the reference service.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "korvex.hpp"
#include "process_counts.h"
#include "service_process.h"
#include "temp_dir.h"

namespace korvex::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Phase = Progress::Phase;

static_assert(!std::is_copy_constructible_v<Transfer> && std::is_nothrow_move_constructible_v<Transfer>);
static_assert(!std::is_copy_constructible_v<Session> && std::is_nothrow_move_constructible_v<Session>);

// A file that reads as `size` bytes but takes no disk.
void makeSparse(const fs::path& path, std::uintmax_t size) {
  writeFile(path, "");
  fs::resize_file(path, size);
}

class Wrapper : public ::testing::Test {
 protected:
  void SetUp() override {
    auto connected = Session::connect(service.address(), service.password());
    ASSERT_TRUE(connected) << message(connected.error());
    phone = std::move(connected).value();
  }

  ServiceProcess service;
  TempDir local;
  Session phone;
};

TEST(WrapperConnect, FailuresAreTold) {
  ServiceProcess service;
  EXPECT_EQ(Errc::login_failed, Session::connect(service.address(), "wrong").error());
  const std::string closed = service.address();
  service.stop();
  EXPECT_EQ(Errc::connect_failed, Session::connect(closed, "any").error());
}

TEST(WrapperProgress, DecodesTheLibraryValues) {
  // {value, total} as GetTransProgress gives them.
  struct Case {
    int value, total;
    Phase phase;
    std::uint32_t done, size;
  };
  const int threeGiB = static_cast<int>(3u << 30);
  const Case cases[] = {
      {-1, 0, Phase::starting, 0, 0},
      {-1, 1000, Phase::starting, 0, 1000},
      {-2, 1000, Phase::failed, 0, 1000},
      {0, 0, Phase::done, 0, 0},
      {500, 1000, Phase::running, 500, 1000},
      {INT_MIN, threeGiB, Phase::running, 1u << 31, 3u << 30},  // past 2 GiB: unsigned
      {threeGiB, threeGiB, Phase::done, 3u << 30, 3u << 30},
      {-1, -1, Phase::starting, 0, 0xFFFFFFFFu},  // 4 GiB - 1 never reads as done
      {-2, -2, Phase::failed, 0, 0xFFFFFFFEu},
  };
  for (const Case& c : cases) {
    const Progress p = Progress::decode(c.value, c.total);
    EXPECT_EQ(c.phase, p.phase) << c.value << " of " << c.total;
    EXPECT_EQ(c.done, p.done) << c.value << " of " << c.total;
    EXPECT_EQ(c.size, p.total) << c.value << " of " << c.total;
  }
}

TEST(WrapperNames, OnlyPlainNamesBecomeLocalComponents) {
  struct Case {
    std::string_view name;
    bool posix, windows;
  };
  using namespace std::string_view_literals;
  const Case cases[] = {
      {"photo.jpg", true, true},
      {"caf\xc3\xa9 .. x", true, true},  // dots and spaces inside a name are fine
      {"", false, false},
      {".", false, false},
      {"..", false, false},
      {"a/b", false, false},
      {"..\\..\\x", false, false},
      {"a\0b"sv, false, false},
      {"\x1b]0;title\x07", false, false},
      {"del\x7f", false, false},
      {"a:b", true, false},
      {"what?", true, false},
      {"trailing.", true, false},
      {"trailing ", true, false},
      {"CON", true, false},
      {"con.txt", true, false},
      {"Com1.tar.gz", true, false},
      {"LPT9", true, false},
      {"NUL .txt", true, false},
      {"CONSOLE", true, true},
      {"COM10", true, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.posix, korvex::is_plain_name(c.name, korvex::NameRules::posix)) << c.name;
    EXPECT_EQ(c.windows, korvex::is_plain_name(c.name, korvex::NameRules::windows)) << c.name;
  }
}

TEST(WrapperNames, PhonePathsSplitAndJoin) {
  struct Case {
    std::string path, parent, base;
  };
  const Case cases[] = {
      {"/a/b", "/a", "b"}, {"/a", "/", "a"}, {"a", "", "a"}, {"/a/b/", "/a/b", "b"}, {"/", "/", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.parent, korvex::parent_path(c.path)) << c.path;
    EXPECT_EQ(c.base, korvex::base_name(c.path)) << c.path;
  }
  EXPECT_EQ("/a", korvex::join_path("/", "a"));
  EXPECT_EQ("/d/a", korvex::join_path("/d", "a"));
  EXPECT_EQ("/d/a", korvex::join_path("/d/", "a"));
  EXPECT_EQ("a", korvex::join_path("", "a"));
}

// The owner ends its session; a borrowed handle is only let go.
TEST_F(Wrapper, ASessionIsOwnedAndABorrowedOneIsNot) {
  const auto before = processCounts();
  {
    auto second = Session::connect(service.address(), service.password());
    ASSERT_TRUE(second);
    Session moved = std::move(second).value();
    ASSERT_TRUE(moved.connected());
    {
      Session borrowed = Session::borrow(moved.handle(), service.address());
      EXPECT_TRUE(borrowed.exists("/").value());
    }
    EXPECT_TRUE(moved.connected());  // the borrowed one did not end it
  }
  const auto after = settledCounts(before);
  EXPECT_EQ(before.threads, after.threads);  // its keep-alive is gone
  EXPECT_EQ(before.handles, after.handles);  // and its socket
  EXPECT_TRUE(phone.disconnect());
  EXPECT_EQ(nullptr, phone.handle());
  EXPECT_FALSE(phone.disconnect());  // empty now: nothing to end
}

TEST_F(Wrapper, CommandsAndListings) {
  ASSERT_TRUE(phone.make_directory("/docs"));
  EXPECT_EQ(Errc::refused, phone.make_directory("/docs").error());
  ASSERT_TRUE(phone.make_directory("/docs/sub"));
  writeFile(service.root() / "docs" / "a.txt", std::string(300, 'a'));
  writeFile(service.root() / "docs" / "b c.txt", "b");

  EXPECT_EQ((std::vector<std::string>{"a.txt", "b c.txt"}), phone.files("/docs").value());
  EXPECT_EQ(std::vector<std::string>{"sub"}, phone.directories("/docs").value());
  auto empty = phone.files("/docs/sub");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
  EXPECT_EQ(Errc::refused, phone.files("/none").error());

  EXPECT_TRUE(phone.exists("/docs/a.txt").value());
  EXPECT_FALSE(phone.exists("/docs/none").value());
  EXPECT_TRUE(phone.is_directory("/docs").value());
  EXPECT_FALSE(phone.is_directory("/docs/a.txt").value());
  EXPECT_EQ(300u, phone.file_size("/docs/a.txt").value());
  EXPECT_EQ(Errc::refused, phone.file_size("/docs/none").error());
  EXPECT_GT(phone.free_space("/").value(), 0u);

  EXPECT_TRUE(phone.rename("/docs/a.txt", "/docs/z.txt"));
  EXPECT_TRUE(fs::exists(service.root() / "docs" / "z.txt"));
  EXPECT_TRUE(phone.chown("/docs/z.txt", static_cast<int>(getuid()), -1));
  EXPECT_EQ(Errc::refused, phone.remove("/docs/a.txt").error());
  EXPECT_TRUE(phone.remove("/docs/z.txt"));
  EXPECT_EQ(Errc::refused, phone.remove_directory("/docs").error());
  EXPECT_TRUE(phone.remove_directory("/docs", true));
  EXPECT_FALSE(fs::exists(service.root() / "docs"));

  const std::string tooLong(kMaxPath + 1, 'x');
  EXPECT_EQ(Errc::path_too_long, phone.exists(tooLong).error());
  EXPECT_EQ(Errc::path_too_long, phone.rename("/a", "/" + std::string(kMaxRenameDest, 'y')).error());

  const Session::State state = phone.state();
  EXPECT_TRUE(state.connected);
  EXPECT_EQ(service.address(), state.address);
  EXPECT_EQ(service.deviceName(), state.device);
}

TEST_F(Wrapper, SizesFrom2To4GiBReadUnsigned) {
  for (std::uint32_t size : {0x80000000u, 3u << 30, 0xFFFFFFFDu}) {
    makeSparse(service.root() / "big", size);
    EXPECT_EQ(size, phone.file_size("/big").value()) << size;
  }
}

TEST_F(Wrapper, EntriesAndSizesInBatches) {
  fs::create_directories(service.root() / "docs" / "sub");
  writeFile(service.root() / "docs" / "a.txt", std::string(300, 'a'));
  makeSparse(service.root() / "docs" / "big", 3u << 30);

  const auto entries = phone.entries("/docs");
  ASSERT_TRUE(entries) << message(entries.error());
  std::vector<std::string> seen;
  for (const Session::Entry& entry : *entries) {
    seen.push_back(entry.name + (entry.is_directory ? "/" : "=") + std::to_string(entry.size));
  }
  const std::vector<std::string> files = phone.files("/docs").value();
  ASSERT_EQ(2u, files.size());
  std::vector<std::string> expected = {"sub/0"};
  for (const std::string& name : files) expected.push_back(name + "=" + (name == "big" ? "3221225472" : "300"));
  EXPECT_EQ(expected, seen);
  EXPECT_TRUE(phone.entries("/docs/sub").value().empty());
  EXPECT_EQ(Errc::refused, phone.entries("/none").error());

  EXPECT_EQ((std::vector<std::int64_t>{300, -1, 3221225472}),
            phone.sizes({"/docs/a.txt", "/docs/none", "/docs/big"}).value());
  EXPECT_TRUE(phone.sizes({}).value().empty());
  const std::string tooLong(kMaxPath + 1, 'x');
  EXPECT_EQ(Errc::path_too_long, phone.entries(tooLong).error());
  EXPECT_EQ(Errc::path_too_long, phone.sizes({"/docs/a.txt", tooLong}).error());
  EXPECT_TRUE(phone.connected());
}

TEST_F(Wrapper, CopiesBothWays) {
  const std::string content = patterned(200 * 1000 + 7);
  writeFile(local / "up.bin", content);
  ASSERT_TRUE(phone.upload((local / "up.bin").string(), "/sync.bin"));
  ASSERT_TRUE(phone.download("/sync.bin", (local / "sync.bin").string()));
  EXPECT_EQ(content, readFile(local / "sync.bin"));

  auto up = phone.start_upload((local / "up.bin").string(), "/async.bin");
  ASSERT_TRUE(up);
  EXPECT_TRUE(up->wait(10s));
  EXPECT_EQ(Phase::done, up->progress().phase);
  EXPECT_EQ(content.size(), up->progress().total);
  // The phone puts the file in place once its last byte is in.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (phone.file_size("/async.bin").value_or(0) != content.size() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(content, readFile(service.root() / "async.bin"));

  // A moved-from transfer owns nothing; the new owner closes the handle.
  auto down = phone.start_download("/async.bin", (local / "back.bin").string());
  ASSERT_TRUE(down);
  Transfer owner = std::move(*down);
  EXPECT_FALSE(down->valid());
  ASSERT_TRUE(owner.wait(10s));
  EXPECT_EQ(content, readFile(local / "back.bin"));

  auto missing = phone.start_download("/none.bin", (local / "none.bin").string());
  ASSERT_TRUE(missing);
  EXPECT_EQ(Errc::copy_failed, missing->wait(10s).error());
  EXPECT_EQ(Errc::local_file, phone.start_upload((local / "absent").string(), "/x").error());
}

TEST_F(Wrapper, CancelStopsALargeCopy) {
  makeSparse(service.root() / "huge.bin", 3u << 30);
  auto transfer = phone.start_download("/huge.bin", (local / "huge.bin").string());
  ASSERT_TRUE(transfer);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  Progress p;
  while ((p = transfer->progress()).phase == Phase::starting && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(3u << 30, p.total);
  EXPECT_EQ(Errc::timed_out, transfer->wait(1ms).error());
  transfer->cancel();
  EXPECT_FALSE(transfer->valid());
  EXPECT_EQ(Phase::failed, transfer->progress().phase);
  EXPECT_TRUE(fs::is_empty(local.path()));  // nothing half-copied is left
  EXPECT_TRUE(phone.connected());  // the copy had a connection of its own
}

TEST_F(Wrapper, ALostConnectionIsToldApartFromARefusal) {
  // Under ThreadSanitizer this also checks that the lost session's thread
  // released itself: one that ended unjoined is reported as a leak.
  service.stop();
  // The keep-alive notices within a few of its periods.
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (phone.connected() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  ASSERT_FALSE(phone.connected());
  EXPECT_EQ(Errc::connection_lost, phone.exists("/").error());
  EXPECT_EQ(Errc::connection_lost, phone.make_directory("/x").error());
  EXPECT_EQ(Errc::connection_lost, phone.files("/").error());
  EXPECT_EQ(Errc::connection_lost, phone.file_size("/x").error());
  EXPECT_EQ(Errc::connection_lost, phone.entries("/").error());
  EXPECT_EQ(Errc::connection_lost, phone.sizes({"/x"}).error());
}

}  // namespace
}  // namespace korvex::test
