// Whatever the phone does, a copy never loses, misplaces or fakes a file: a
// download broken off leaves the local file as it was, and an upload the
// phone cannot store is a failure even when an old file of the same size
// stands at its name. A full local disk is told as the local failure it is.
#include <sys/resource.h>
#ifdef __linux__
#include <sys/mount.h>
#endif

#include <algorithm>
#include <set>

#include "cli_fixture.h"
#include "hostile_phone.h"

namespace korvex::test {
namespace {

using namespace exit_code;
using ::testing::HasSubstr;

// Every entry below `root`, directories with a trailing '/'.
std::set<std::string> entriesBelow(const fs::path& root) {
  std::set<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    entries.insert(fs::relative(entry.path(), root).string() + (entry.is_directory() ? "/" : ""));
  }
  return entries;
}

using DownloadCutTest = CliTest;

TEST_F(DownloadCutTest, ADownloadBrokenOffLeavesTheLocalFileAsItWas) {
  constexpr std::size_t kSize = 300000;  // more than one of the library's blocks
  const std::string content = randomBytes(kSize, 5);
  const std::string old = "the local file before the copy";
  fs::create_directories(local("one"));
  fs::create_directories(local("tree/dir"));
  for (const std::size_t cut : {std::size_t{0}, std::size_t{1}, kSize / 2, kSize - 1, std::string::npos}) {
    SCOPED_TRACE(cut);
    HostilePhone phone({{"/dir", {{}, {"f.bin"}}}},
                       {{"/f.bin", {content, cut}}, {"/dir/f.bin", {content, cut}}});
    writeFile(local("one/f.bin"), old);
    writeFile(local("tree/dir/f.bin"), old);
    std::vector<std::string> single = phone.login(), tree = phone.login();
    single.insert(single.end(), {"get", "/f.bin", local("one/f.bin").string()});
    tree.insert(tree.end(), {"get", "-r", "/dir", local("tree").string()});
    const bool whole = cut == std::string::npos;
    for (const auto& args : {single, tree}) {
      SCOPED_TRACE(args[5]);
      CliResult result = runCli(args);
      if (whole) {
        EXPECT_EQ(result.exitCode, kOk) << result.all();
      } else {
        // Broken off before the client saw a byte arrive, it reads as the
        // phone not sending the file (1); after, as a broken copy (6).
        EXPECT_THAT(result.exitCode, ::testing::AnyOf(kRefused, kBroken)) << result.all();
        EXPECT_THAT(result.err, HasSubstr("f.bin: "));
      }
    }
    for (const char* name : {"one/f.bin", "tree/dir/f.bin"}) {
      const std::string now = readFile(local(name));
      EXPECT_TRUE(now == (whole ? content : old)) << name << " holds " << now.size() << " bytes: "
                                                  << (now == old ? "the old ones" : now.substr(0, 40));
    }
    // Nothing else is left beside them.
    EXPECT_EQ(entriesBelow(local("")), (std::set<std::string>{"one/", "one/f.bin", "tree/", "tree/dir/",
                                                                "tree/dir/f.bin"}));
  }
}

// A tree whose middle file the phone cuts off: on one session or many, the
// copy fails, the cut file is not left behind in part, and the worker that
// lost its connection logs in again for the files after it.
TEST_F(DownloadCutTest, APhoneDroppingMidTreeFailsTheCopyAndLeavesNoPartialFile) {
  const std::string content = randomBytes(200000, 7);
  const HostilePhone phone(
      {{"/t", {{"a", "b"}, {"top.bin"}}}, {"/t/a", {{}, {"a1.bin", "a2.bin"}}}, {"/t/b", {{}, {"b1.bin"}}}},
      {{"/t/top.bin", {content}},
       {"/t/a/a1.bin", {content}},
       {"/t/a/a2.bin", {content, content.size() / 2}},
       {"/t/b/b1.bin", {content}}});
  for (const char* jobs : {"1", "8"}) {
    SCOPED_TRACE(jobs);
    const fs::path out = local(std::string("out") + jobs);
    std::vector<std::string> args = phone.login();
    args.insert(args.end(), {"get", "-r", "-j", jobs, "/t", out.string()});
    CliResult result = runCli(args);
    // As for a single file: refused or broken, by when the client saw the cut.
    EXPECT_THAT(result.exitCode, ::testing::AnyOf(kRefused, kBroken)) << result.all();
    EXPECT_THAT(result.err, HasSubstr("/t/a/a2.bin: "));
    EXPECT_THAT(result.err, HasSubstr("1 of 4 files did not arrive"));
    EXPECT_EQ(entriesBelow(out), (std::set<std::string>{"a/", "a/a1.bin", "b/", "b/b1.bin", "top.bin"}));
    for (const char* name : {"a/a1.bin", "b/b1.bin", "top.bin"}) EXPECT_TRUE(readFile(out / name) == content) << name;
  }
}

using UploadLimitTest = CliTest;

TEST_F(UploadLimitTest, AnUploadThePhoneCannotStoreFailsAndLeavesTheOldFile) {
  constexpr std::size_t kSize = 200 * 1024;
  const std::string old = randomBytes(kSize, 1), fresh = randomBytes(kSize, 2);
  fs::create_directories(phone("tree/up"));
  writeFile(phone("same.bin"), old);
  writeFile(phone("tree/up/same.bin"), old);
  fs::create_directories(local("up"));
  writeFile(local("same.bin"), fresh);
  writeFile(local("up/same.bin"), fresh);
  writeFile(local("small.bin"), "fits under the limit");
  // The service cannot write a file past 64 KiB: every byte of the upload
  // can arrive, but the phone cannot store it.
  const rlimit limit{64 * 1024, 64 * 1024};
  ASSERT_EQ(0, ::prlimit(static_cast<pid_t>(service().pid()), RLIMIT_FSIZE, &limit, nullptr));

  struct Case {
    std::vector<std::string> args;
    fs::path stored;
    std::string before;
  };
  const Case cases[] = {
      {{"put", local("same.bin"), "/same.bin"}, phone("same.bin"), old},
      {{"put", "-r", local("up"), "/tree"}, phone("tree/up/same.bin"), old},
      {{"put", local("small.bin"), "/small.bin"}, phone("small.bin"), ""},  // under the limit: stored
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1]);
    CliResult result = korvex(c.args);
    if (c.before.empty()) {
      EXPECT_EQ(result.exitCode, kOk) << result.all();
      EXPECT_EQ(readFile(c.stored), "fits under the limit");
      continue;
    }
    EXPECT_NE(result.exitCode, kOk) << result.all();
    // Named by its phone path or, when the link broke before the phone
    // answered, by its local one.
    EXPECT_THAT(result.err, HasSubstr(c.args[1] == "-r" ? "up/same.bin" : "/same.bin"));
    EXPECT_TRUE(readFile(c.stored) == c.before) << c.stored << " changed";
  }
}

// Local directories on file systems of their own, where the test may mount
// them: "small" holds 1 MiB, "readonly" nothing at all.
class LocalDiskTest : public CliTest {
 protected:
  LocalDiskTest() {
    fs::create_directory(local("small"));
    fs::create_directory(local("readonly"));
#ifdef __linux__
    mounted_ = ::mount("tmpfs", local("small").c_str(), "tmpfs", 0, "size=1m") == 0;
    mounted_ = mounted_ && ::mount("tmpfs", local("readonly").c_str(), "tmpfs", MS_RDONLY, "size=1m") == 0;
#endif
  }
  ~LocalDiskTest() override {
#ifdef __linux__
    for (const char* name : {"small", "readonly"}) ::umount2(local(name).c_str(), MNT_DETACH);
#endif
  }
  void writeTree() {
    fs::create_directories(phone("big"));
    writeFile(phone("big/a.bin"), randomBytes(300 * 1024, 1));
    writeFile(phone("big/b.bin"), randomBytes(2 * 1024 * 1024, 2));
    writeFile(phone("big/c.bin"), randomBytes(300 * 1024, 3));
  }
  // Logins in the service's log since `before` lines.
  long loginsSince(std::size_t before) {
    const std::vector<std::string> logged = lines(service().log());
    return std::count_if(logged.begin() + static_cast<std::ptrdiff_t>(std::min(before, logged.size())), logged.end(),
                         [](const std::string& line) { return line.find("logged in") != std::string::npos; });
  }
  bool mounted_ = false;
};

// A destination that cannot be written in is said once, before the copy's
// sessions log in, as a local failure; nothing is tried.
TEST_F(LocalDiskTest, ACopyIntoAReadOnlyDirectoryIsRefusedOnce) {
  if (!mounted_) GTEST_SKIP() << "cannot mount a small file system here";
  writeTree();
  const std::string readonly = local("readonly").string();
  const std::string why = ": Read-only file system";
  const struct {
    std::vector<std::string> args;
    std::string err;
    long logins;  // the command's own session, if it needs one
  } cases[] = {
      {{"get", "/big/a.bin", readonly + "/a.bin"}, "get: " + readonly + why, 0},
      {{"get", "-r", "/big", readonly}, "get: " + readonly + "/big" + why + "; nothing was copied", 1},
      {{"get", "-r", "/big", readonly + "/new"}, "get: " + readonly + "/new" + why + "; nothing was copied", 1},
      {{"sync", "phone:/big", readonly}, "sync: " + readonly + why, 1},
      {{"sync", "phone:/big", readonly + "/new"}, "sync: " + readonly + "/new" + why, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.args.back());
    const std::size_t before = lines(service().log()).size();
    const CliResult result = korvex(c.args);
    EXPECT_EQ(result.exitCode, kLocalFile) << result.all();
    EXPECT_EQ(result.err, "korvex: " + c.err + "\n");
    EXPECT_EQ(loginsSince(before), c.logins) << service().log();
  }
}

// A download the local disk has no room for is a local failure, said as
// such, and a tree copy stops at it instead of failing file after file as
// if the phone had not sent them.
TEST_F(LocalDiskTest, ADownloadWithNoLocalRoomIsALocalFailure) {
  if (!mounted_) GTEST_SKIP() << "cannot mount a small file system here";
  writeTree();
  const fs::path small = local("small");
  const struct {
    std::vector<std::string> args;
    std::string first, last;  // pieces of the first and last lines of standard error
  } cases[] = {
      {{"get", "/big/b.bin", (small / "b.bin").string()}, (small / "b.bin").string() + ": No space left on device",
       "b.bin: No space left on device"},
      {{"get", "-r", "-j", "1", "/big", (small / "tree").string()}, "b.bin: No space left on device",
       "get: the local disk is full; "},
      {{"sync", "-j", "1", "phone:/big", (small / "sync").string()}, "b.bin: No space left on device",
       "sync: the local disk is full; "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args.back());
    const CliResult result = korvex(c.args);
    EXPECT_EQ(result.exitCode, kLocalFile) << result.all();
    const std::vector<std::string> said = lines(result.err);
    ASSERT_FALSE(said.empty());
    EXPECT_THAT(said.front(), HasSubstr(c.first));
    EXPECT_THAT(said.back(), HasSubstr(c.last));
    EXPECT_THAT(result.err, ::testing::Not(HasSubstr("phone")));
    // Nothing partial is left: what is there arrived whole.
    for (const auto& entry : fs::recursive_directory_iterator(small)) {
      if (entry.is_regular_file()) {
        EXPECT_EQ(readFile(entry.path()), readFile(phone("big") / entry.path().filename())) << entry.path();
      }
    }
    for (const auto& entry : fs::directory_iterator(small)) fs::remove_all(entry.path());
  }
}

}  // namespace
}  // namespace korvex::test
