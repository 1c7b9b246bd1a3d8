// The C++ wrapper (korvex.hpp) as a host uses it: linked to the shared
// library, built as C++17, against the reference service; with the throwing
// flavour, so that its errors are checked too.
#define KORVEX_HPP_THROWING
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

#include "korvex.hpp"
#include "link_proxy.h"
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
static_assert(std::is_error_code_enum_v<Errc>);
// A yes-or-no answer is read with `if`, never turned into a bool by accident.
static_assert(!std::is_convertible_v<Answer, bool> && std::is_constructible_v<bool, Answer>);

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
  LoginEnd ended = LoginEnd::not_answered;
  EXPECT_EQ(Errc::login_failed, Session::connect(service.address(), "wrong", ended).error());
  EXPECT_EQ(LoginEnd::closed, ended);  // korvexd closes on a wrong password
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

TEST(WrapperErrors, AreErrorCodesAndSystemErrors) {
  // {code, the portable condition it equals, or none}
  struct Case {
    Errc code;
    std::error_condition condition;
  };
  const std::error_condition none;
  const Case cases[] = {
      {Errc::connect_failed, std::errc::connection_refused},
      {Errc::login_failed, std::errc::permission_denied},
      {Errc::refused, std::errc::permission_denied},
      {Errc::connection_lost, std::errc::connection_aborted},
      {Errc::path_too_long, std::errc::filename_too_long},
      {Errc::local_file, none},
      {Errc::copy_failed, none},
      {Errc::timed_out, std::errc::timed_out},
      {Errc::not_found, std::errc::no_such_file_or_directory},
      {Errc::already_exists, std::errc::file_exists},
      {Errc::not_a_directory, std::errc::not_a_directory},
      {Errc::is_a_directory, std::errc::is_a_directory},
      {Errc::not_empty, std::errc::directory_not_empty},
      {Errc::no_space, std::errc::no_space_on_device},
      {Errc::not_permitted, std::errc::operation_not_permitted},
  };
  for (const Case& c : cases) {
    const std::error_code code = c.code;
    SCOPED_TRACE(code.message());
    EXPECT_TRUE(code);
    EXPECT_EQ(static_cast<int>(c.code), code.value());
    EXPECT_EQ(&korvex::category(), &code.category());
    EXPECT_STREQ("korvex", code.category().name());
    EXPECT_EQ(message(c.code), code.message());
    EXPECT_EQ(make_error_code(c.code), code);
    if (c.condition) {
      EXPECT_EQ(c.condition, code.default_error_condition());
      EXPECT_TRUE(code == c.condition);
    } else {
      EXPECT_EQ(&korvex::category(), &code.default_error_condition().category());
    }
    // No other code's condition matches (the login and a plain refusal are
    // both a permission denied).
    for (const Case& other : cases) {
      if (other.code != c.code && other.condition && other.condition != c.condition) {
        EXPECT_FALSE(code == other.condition) << message(other.code);
      }
    }

    // The throwing flavour: a std::system_error carrying the same code.
    try {
      (void)Result<int>(c.code).value_or_throw();
      ADD_FAILURE() << "no throw";
    } catch (const std::system_error& e) {
      EXPECT_EQ(code, e.code());
      EXPECT_EQ(message(c.code), std::string(e.what()));
      ASSERT_NE(nullptr, dynamic_cast<const Error*>(&e));
      EXPECT_EQ(c.code, dynamic_cast<const Error&>(e).errc());
    }
    EXPECT_THROW(Status(c.code).or_throw(), Error);
    EXPECT_THROW((void)Answer(c.code).value_or_throw(), Error);
  }
  EXPECT_FALSE(std::error_code(Errc::ok));
  EXPECT_NO_THROW(Status().or_throw());
  EXPECT_TRUE(Answer(true).value_or_throw());
  EXPECT_FALSE(Answer(false).value_or_throw());
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
  EXPECT_EQ(Errc::already_exists, phone.make_directory("/docs").error());
  ASSERT_TRUE(phone.make_directory("/docs/sub"));
  writeFile(service.root() / "docs" / "a.txt", std::string(300, 'a'));
  writeFile(service.root() / "docs" / "b c.txt", "b");

  EXPECT_EQ((std::vector<std::string>{"a.txt", "b c.txt"}), phone.files("/docs").value());
  EXPECT_EQ(std::vector<std::string>{"sub"}, phone.directories("/docs").value());
  auto empty = phone.files("/docs/sub");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
  EXPECT_EQ(Errc::not_found, phone.files("/none").error());

  EXPECT_TRUE(phone.exists("/docs/a.txt").value());
  EXPECT_FALSE(phone.exists("/docs/none").value());
  EXPECT_TRUE(phone.is_directory("/docs").value());
  EXPECT_FALSE(phone.is_directory("/docs/a.txt").value());
  EXPECT_EQ(300u, phone.file_size("/docs/a.txt").value());
  EXPECT_EQ(Errc::not_found, phone.file_size("/docs/none").error());
  EXPECT_GT(phone.free_space("/").value(), 0u);

  EXPECT_TRUE(phone.rename("/docs/a.txt", "/docs/z.txt"));
  EXPECT_TRUE(fs::exists(service.root() / "docs" / "z.txt"));
  EXPECT_TRUE(phone.chown("/docs/z.txt", static_cast<int>(getuid()), -1));
  EXPECT_EQ(Errc::not_found, phone.remove("/docs/a.txt").error());
  EXPECT_TRUE(phone.remove("/docs/z.txt"));
  EXPECT_EQ(Errc::not_empty, phone.remove_directory("/docs").error());
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

// `if (phone.exists(p))` means "it is there": a failed question is not a yes.
TEST_F(Wrapper, BooleanAnswersAreTrueOnlyForYes) {
  fs::create_directories(service.root() / "docs");
  writeFile(service.root() / "docs" / "a.txt", "a");
  const std::string tooLong(kMaxPath + 1, 'x');
  struct Case {
    Answer (Session::*question)(std::string_view) const;
    std::string path;
    bool yes, no;
    Errc error;
  };
  const Case cases[] = {
      {&Session::exists, "/docs/a.txt", true, false, Errc::ok},
      {&Session::exists, "/docs", true, false, Errc::ok},
      {&Session::exists, "/docs/none", false, true, Errc::ok},
      {&Session::exists, tooLong, false, false, Errc::path_too_long},
      {&Session::is_directory, "/docs", true, false, Errc::ok},
      {&Session::is_directory, "/docs/a.txt", false, true, Errc::ok},
      {&Session::is_directory, tooLong, false, false, Errc::path_too_long},
  };
  for (const Case& c : cases) {
    const Answer answer = (phone.*c.question)(c.path);
    const std::string shown = c.path.substr(0, 20);
    bool taken = false;
    if (answer) taken = true;
    EXPECT_EQ(c.yes, taken) << shown;
    EXPECT_EQ(c.yes, answer.yes()) << shown;
    EXPECT_EQ(c.no, answer.no()) << shown;
    EXPECT_EQ(c.error == Errc::ok, answer.ok()) << shown;
    EXPECT_EQ(c.error, answer.error()) << shown;
    EXPECT_EQ(c.yes, answer.value()) << shown;
  }
}

// Phone paths as literals, std::string and views that are not
// NUL-terminated; local paths as std::filesystem::path or text.
TEST_F(Wrapper, PathsAsViewsAndLocalPaths) {
  fs::create_directories(service.root() / "docs");
  writeFile(service.root() / "docs" / "a.txt", std::string(300, 'a'));
  const std::string longer = "/docs/a.txt.not-this";
  const std::string_view view = std::string_view(longer).substr(0, 11);  // "/docs/a.txt"
  const std::string text(view);

  EXPECT_TRUE(phone.exists(view));
  EXPECT_TRUE(phone.exists(text));
  EXPECT_TRUE(phone.exists("/docs/a.txt"));
  EXPECT_EQ(300u, phone.file_size(view).value());
  EXPECT_FALSE(phone.is_directory(view));
  EXPECT_EQ(std::vector<std::string>{"a.txt"}, phone.files(std::string_view("/docs/a.txt", 5)).value());
  ASSERT_TRUE(phone.make_directory(std::string_view("/made-not-this", 5)));
  EXPECT_TRUE(fs::is_directory(service.root() / "made"));
  ASSERT_TRUE(phone.rename(view, std::string_view("/docs/b.txt-not-this", 11)));
  EXPECT_TRUE(fs::exists(service.root() / "docs" / "b.txt"));
  EXPECT_EQ(Errc::path_too_long, phone.exists(std::string_view(std::string(kMaxPath + 1, 'x'))).error());

  const std::string content = patterned(10 * 1000 + 3);
  const fs::path source = local / "caf\xc3\xa9 up.bin";
  writeFile(source, content);
  struct Copy {
    std::string phonePath;
    fs::path back;
  };
  const Copy copies[] = {{"/u1.bin", local / "d1.bin"}, {"/u2.bin", local / "d2.bin"}, {"/u3.bin", local / "d3.bin"}};
  ASSERT_TRUE(phone.upload(source, copies[0].phonePath));
  ASSERT_TRUE(phone.upload(source.string(), std::string_view(copies[1].phonePath)));
  auto started = phone.start_upload(source, copies[2].phonePath.c_str());
  ASSERT_TRUE(started);
  ASSERT_TRUE(started->wait(10s));
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (phone.file_size(copies[2].phonePath).value_or(0) != content.size() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(phone.download(copies[0].phonePath, copies[0].back));
  ASSERT_TRUE(phone.download(std::string_view(copies[1].phonePath), copies[1].back.string()));
  auto back = phone.start_download(copies[2].phonePath, copies[2].back);
  ASSERT_TRUE(back);
  ASSERT_TRUE(back->wait(10s));
  for (const Copy& copy : copies) {
    EXPECT_EQ(content, readFile(service.root() / copy.phonePath.substr(1))) << copy.phonePath;
    EXPECT_EQ(content, readFile(copy.back)) << copy.back;
  }
}

TEST_F(Wrapper, WalkListsATreeDepthFirst) {
  const fs::path t = service.root() / "t";
  fs::create_directories(t / "b" / "d");
  fs::create_directories(t / "e");
  writeFile(t / "a.txt", "aa");
  writeFile(t / "b" / "c.txt", "ccc");
  writeFile(t / "e" / "f.txt", "");
  // Each directory's entries, sorted: "name/" for a directory, "name=size".
  const std::vector<std::pair<std::string, std::vector<std::string>>> listed = {
      {"/t", {"a.txt=2", "b/", "e/"}}, {"/t/b", {"c.txt=3", "d/"}}, {"/t/b/d", {}}, {"/t/e", {"f.txt=0"}}};
  // Depth first in the phone's order: b's subtree before or after e.
  const bool bFirst = phone.directories("/t").value().front() == "b";
  const std::vector<std::string> order = bFirst ? std::vector<std::string>{"/t", "/t/b", "/t/b/d", "/t/e"}
                                                : std::vector<std::string>{"/t", "/t/e", "/t/b", "/t/b/d"};
  auto walked = phone.walk("/t");
  ASSERT_TRUE(walked) << message(walked.error());
  std::vector<std::string> paths;
  for (const Session::Directory& directory : *walked) {
    paths.push_back(directory.path);
    std::vector<std::string> seen;
    for (const Session::Entry& entry : directory.entries) {
      const bool isDirectory = entry.kind == FileKind::directory;
      EXPECT_EQ(isDirectory, entry.is_directory) << entry.name;
      seen.push_back(entry.name + (isDirectory ? "/" : "=" + std::to_string(entry.size)));
    }
    std::sort(seen.begin(), seen.end());
    const auto expected = std::find_if(listed.begin(), listed.end(), [&](const auto& l) { return l.first == directory.path; });
    ASSERT_NE(listed.end(), expected) << directory.path;
    EXPECT_EQ(expected->second, seen) << directory.path;
  }
  EXPECT_EQ(order, paths);

  // From the root, joined without a doubled slash.
  auto all = phone.walk("/");
  ASSERT_TRUE(all);
  ASSERT_EQ(5u, all->size());
  EXPECT_EQ("/", all->at(0).path);
  EXPECT_EQ("/t", all->at(1).path);

  // A failed listing anywhere ends the walk with its reason.
  struct Failure {
    std::string path;
    Errc error;
  };
  const std::string name(250, 'n');
  fs::path deep = service.root() / "deep";
  for (std::string phonePath = "/deep"; phonePath.size() <= kMaxPath; phonePath += "/" + name) deep /= name;
  fs::create_directories(deep);
  const Failure failures[] = {
      {"/none", Errc::not_found},
      {"/t/a.txt", Errc::not_a_directory},
      {"/deep", Errc::path_too_long},  // its deepest directory is past kMaxPath
  };
  for (const Failure& f : failures) EXPECT_EQ(f.error, phone.walk(f.path).error()) << f.path;
}

// The pool keeps its sessions between pieces of work, and a stop from
// another thread ends the work in flight at once: a download cut that way
// leaves its destination as it was, and nothing starts afterwards.
TEST_F(Wrapper, APoolReusesItsSessionsAndItsStopEndsWorkInFlight) {
  writeFile(service.root() / "small", "tiny");
  writeFile(service.root() / "big", std::string(4 << 20, 'b'));
  LinkProxy slow(service.port(), LinkShape{std::chrono::microseconds(0), 8e6});  // 4 MiB: about 4 s
  ASSERT_TRUE(slow.listening());
  SessionPool pool(slow.address(), service.password());
  ASSERT_EQ(2u, pool.prepare(2).value());
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(pool.run([&](const Session& s) { return s.download("/small", local / "small"); }));
  }
  EXPECT_EQ(2u, slow.accepted());  // every piece of work on a session logged in beforehand

  writeFile(local / "big", "the user's file");
  std::atomic<bool> started{false};
  Status cut;
  std::thread worker([&] {
    cut = pool.run([&](const Session& s) {
      started = true;
      return s.download("/big", local / "big");
    });
  });
  while (!started) std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(300ms);
  const auto stopping = std::chrono::steady_clock::now();
  pool.stop();
  worker.join();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, 1000ms);
  EXPECT_EQ(Errc::connection_lost, cut.error());
  EXPECT_EQ("the user's file", readFile(local / "big"));
  EXPECT_EQ(Errc::connection_lost, pool.acquire().error());
  EXPECT_EQ(Errc::connection_lost, pool.run([](const Session&) { return Status(); }).error());
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
    EXPECT_EQ(entry.is_directory, entry.kind == FileKind::directory) << entry.name;
    seen.push_back(entry.name + (entry.kind == FileKind::directory ? "/" : "=") + std::to_string(entry.size));
  }
  const std::vector<std::string> files = phone.files("/docs").value();
  ASSERT_EQ(2u, files.size());
  std::vector<std::string> expected = {"sub/0"};
  for (const std::string& name : files) expected.push_back(name + "=" + (name == "big" ? "3221225472" : "300"));
  EXPECT_EQ(expected, seen);
  EXPECT_TRUE(phone.entries("/docs/sub").value().empty());
  EXPECT_EQ(Errc::not_found, phone.entries("/none").error());

  EXPECT_EQ((std::vector<std::int64_t>{300, -1, 3221225472}),
            phone.sizes({"/docs/a.txt", "/docs/none", "/docs/big"}).value());
  EXPECT_TRUE(phone.sizes({}).value().empty());

  makeSparse(service.root() / "docs" / "huge", 5ull << 30);
  const auto found = phone.statuses({"/docs/a.txt", "/docs/none", "/docs/sub", "/docs/big", "/docs/huge"});
  ASSERT_TRUE(found) << message(found.error());
  std::vector<std::string> statuses;
  for (const PathStatus& status : *found) {
    statuses.push_back(std::to_string(static_cast<int>(status.kind)) + "=" + std::to_string(status.size));
  }
  EXPECT_EQ((std::vector<std::string>{"1=300", "0=0", "2=0", "1=3221225472", "3=0"}), statuses);
  EXPECT_EQ(PathKind::directory, phone.status("/docs").value().kind);
  const std::string tooLong(kMaxPath + 1, 'x');
  EXPECT_EQ(Errc::path_too_long, phone.status(tooLong).error());
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

// A series of downloads: each destination checked first as download()
// checks it, each refusal diagnosed, every file that fails leaving its
// destination as it was, and the session in step for the next call.
TEST_F(Wrapper, DownloadFilesAnswersEachFile) {
  struct Case {
    const char* label;
    std::string remote;
    fs::path local;
    std::error_code expected;  // empty: landed
  };
  fs::create_directories(local / "folder");
  const std::string content = patterned(40 * 1000 + 3);
  for (const char* name : {"a", "b", "c"}) writeFile(service.root() / name, content);
  writeFile(local / "kept", "kept");
  const std::vector<Case> cases = {
      {"lands", "/a", local / "a", {}},
      {"missing on the phone", "/missing", local / "kept", make_error_code(Errc::not_found)},
      {"a local folder in the way", "/b", local / "folder", std::make_error_code(std::errc::is_a_directory)},
      {"no local folder to put it in", "/b", local / "none" / "b",
       std::make_error_code(std::errc::no_such_file_or_directory)},
      {"a phone path too long", "/" + std::string(kMaxPath, 'x'), local / "long", make_error_code(Errc::path_too_long)},
      {"lands after the failures", "/c", local / "c", {}},
  };
  std::vector<std::pair<std::string, LocalPath>> files;
  for (const Case& c : cases) files.emplace_back(c.remote, c.local);
  const std::vector<Status> outcome = phone.download_files(files);
  ASSERT_EQ(cases.size(), outcome.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].label);
    if (cases[i].expected) {
      EXPECT_EQ(cases[i].expected, outcome[i].code());
    } else {
      EXPECT_TRUE(outcome[i].ok()) << outcome[i].code().message();
      EXPECT_EQ(content, readFile(cases[i].local));
    }
  }
  EXPECT_EQ("kept", readFile(local / "kept"));
  EXPECT_TRUE(fs::is_empty(local / "folder"));
  EXPECT_EQ(content.size(), phone.file_size("/a").value_or(0));
  // Once the session is lost, every file is connection_lost.
  phone.interrupt();
  const std::vector<Status> lost = phone.download_files({{"/a", local / "again"}, {"/b", local / "b"}});
  for (const Status& status : lost) EXPECT_EQ(Errc::connection_lost, status.error());
  EXPECT_FALSE(fs::exists(local / "again"));
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
  EXPECT_FALSE(phone.exists("/"));  // there, but the question failed
  EXPECT_FALSE(phone.is_directory("/").no());
  EXPECT_EQ(Errc::connection_lost, phone.walk("/").error());
  EXPECT_EQ(Errc::connection_lost, phone.make_directory("/x").error());
  EXPECT_EQ(Errc::connection_lost, phone.files("/").error());
  EXPECT_EQ(Errc::connection_lost, phone.file_size("/x").error());
  EXPECT_EQ(Errc::connection_lost, phone.entries("/").error());
  EXPECT_EQ(Errc::connection_lost, phone.sizes({"/x"}).error());
  EXPECT_EQ(Errc::connection_lost, phone.status("/x").error());
}

}  // namespace
}  // namespace korvex::test
