// Whatever names a phone lists, they stay names: a copy never writes outside
// its destination, and the terminal is shown a name's bytes, never told to
// do anything by them.
#include <stdlib.h>

#include <algorithm>
#include <set>

#include "cli_fixture.h"
#include "hostile_phone.h"

namespace korvex::test {
namespace {

using namespace exit_code;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string kEsc = "\x1b]0;pwned\x07";  // would set a terminal's title
const std::string kEscShown = "\\033]0;pwned\\a";
const std::string kC1 = "\xc2\x9b" "31mred";  // CSI as one C1 character: a plain name on POSIX
const std::string kC1Shown = "\\302\\23331mred";

// "." and ".." are listed as directories, "a/b" arrives as two names.
HostilePhone::Directory hostileDirectory() {
  return {{".", "..", "sub", "..\\..\\evil"}, {"ok.txt", "..\\x", "..\\..\\x", "..\\..\\..\\x", "a/b", kEsc, kC1}};
}

class HostileNamesTest : public ::testing::Test {
 protected:
  HostileNamesTest()
      : phone_({{"/", {{"d"}, {}}},
                {"/d", hostileDirectory()},
                {"/d/sub", {{".", ".."}, {"deep.txt"}}},
                {"/d/..\\..\\evil", {{}, {"f"}}},
                {"/c1", {{}, {kC1}}}},
               {{"/d/ok.txt", {"ok"}},
                {"/d/..\\x", {"x1"}},
                {"/d/..\\..\\x", {"x2"}},
                {"/d/..\\..\\..\\x", {"x3"}},
                {"/d/a/b", {"ab"}},
                {"/d/" + kEsc, {"esc"}},
                {"/d/" + kC1, {"c1"}},
                {"/d/sub/deep.txt", {"deep"}},
                {"/d/..\\..\\evil/f", {"evil"}},
                {"/c1/" + kC1, {"c1"}}},
               "ph\x1b[2Jone\r") {
    std::string pattern = (fs::temp_directory_path() / "korvex-cli-names.XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    local_ = pattern;
  }
  ~HostileNamesTest() override {
    std::error_code ignored;
    fs::remove_all(local_, ignored);
  }

  CliResult korvex(std::vector<std::string> args) {
    std::vector<std::string> full = phone_.login();
    full.insert(full.end(), args.begin(), args.end());
    return runCli(full);
  }

  // Every entry below the scratch directory, directories with a trailing '/'.
  std::set<std::string> localEntries() const {
    std::set<std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(local_)) {
      entries.insert(fs::relative(entry.path(), local_).string() + (entry.is_directory() ? "/" : ""));
    }
    return entries;
  }

  HostilePhone phone_;
  fs::path local_;
};

// Whether the text holds a byte a terminal would act on, other than the
// line ends and the carriage returns of a progress bar.
bool holdsControls(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\n' && c != '\r') || c == 0x7F) return true;
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0) return true;
  }
  return false;
}

TEST_F(HostileNamesTest, GetRecursiveSkipsEveryNameThatIsNotPlainAndWritesOnlyInside) {
  fs::create_directories(local_ / "box/in");
  CliResult get = korvex({"get", "-r", "/d", (local_ / "box/in/out").string()});
  EXPECT_EQ(get.exitCode, kRefused) << get.all();

  // Nothing outside out/, and inside only what has a plain name.
  EXPECT_EQ(localEntries(), (std::set<std::string>{"box/", "box/in/", "box/in/out/", "box/in/out/ok.txt",
                                                   "box/in/out/sub/", "box/in/out/sub/deep.txt",
                                                   "box/in/out/" + kC1}));
  EXPECT_EQ(readFile(local_ / "box/in/out/ok.txt"), "ok");
  EXPECT_EQ(readFile(local_ / "box/in/out/sub/deep.txt"), "deep");
  EXPECT_EQ(readFile(local_ / "box/in/out" / kC1), "c1");

  // One warning per refused name, the name escaped; "." and ".." pass unmentioned.
  const std::vector<std::string> err = lines(get.err);
  for (const std::string& shown : {std::string("..\\\\..\\\\evil"), std::string("..\\\\x"),
                                   std::string("..\\\\..\\\\x"), std::string("..\\\\..\\\\..\\\\x"), kEscShown}) {
    SCOPED_TRACE(shown);
    EXPECT_EQ(std::count(err.begin(), err.end(), "korvex: get: /d: the phone listed the name \"" + shown + "\", skipped"),
              1)
        << get.err;
  }
  EXPECT_THAT(get.err, Not(HasSubstr("name \".\"")));
  EXPECT_THAT(get.err, Not(HasSubstr("name \"..\"")));
  EXPECT_THAT(get.err, Not(HasSubstr("/d/.")));
  EXPECT_FALSE(holdsControls(get.all())) << get.all();

  // The progress line names the files being copied, escaped as well (whether
  // a line is drawn before so small a copy ends is the scheduler's call; the
  // line's own escaping is checked in progress_test).
  CliResult progress = korvex({"get", "-r", "--progress", "always", "/c1", (local_ / "c1").string()});
  EXPECT_EQ(progress.exitCode, kOk) << progress.all();
  EXPECT_FALSE(holdsControls(progress.all())) << progress.all();
}

TEST_F(HostileNamesTest, EveryOutputShowsNamesEscaped) {
  const std::string d = "d            -  ";
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::vector<std::string> out;
    std::string err{};
  };
  const Case cases[] = {
      {{"ls", "/d"},
       kOk,
       {"sub/", "..\\\\..\\\\evil/", "ok.txt", "..\\\\x", "..\\\\..\\\\x", "..\\\\..\\\\..\\\\x", "a", "b", kEscShown, kC1Shown}},
      {{"ls", "-R", "/d"},
       kOk,
       {"sub/", "sub/deep.txt", "..\\\\..\\\\evil/", "..\\\\..\\\\evil/f", "ok.txt", "..\\\\x", "..\\\\..\\\\x",
        "..\\\\..\\\\..\\\\x", "a", "b", kEscShown, kC1Shown}},
      {{"ls", "-l", "/d"},
       kOk,
       {d + "sub", d + "..\\\\..\\\\evil", "-            2  ok.txt", "-            2  ..\\\\x",
        "-            2  ..\\\\..\\\\x", "-            2  ..\\\\..\\\\..\\\\x", "-            ?  a",
        "-            ?  b", "-            3  " + kEscShown, "-            2  " + kC1Shown}},
      {{"ls", "--json", "-D", "/d"}, kOk, {R"([{"name":"sub","type":"directory"},{"name":"..\\..\\evil","type":"directory"}])"}},
      {{"ls", "--json", "-f", "/d"},
       kOk,
       {R"([{"name":"ok.txt","type":"file","size":2},{"name":"..\\x","type":"file","size":2},)"
        R"({"name":"..\\..\\x","type":"file","size":2},{"name":"..\\..\\..\\x","type":"file","size":2},)"
        R"({"name":"a","type":"file","size":null},{"name":"b","type":"file","size":null},)"
        R"({"name":"\u001b]0;pwned\u0007","type":"file","size":3},{"name":"\u009b31mred","type":"file","size":2}])"}},
      {{"tree", "/d"},
       kOk,
       {"/d", "\u251c\u2500\u2500 sub/", "\u2502   \u2514\u2500\u2500 deep.txt", "\u251c\u2500\u2500 ..\\\\..\\\\evil/",
        "\u2502   \u2514\u2500\u2500 f", "\u251c\u2500\u2500 ok.txt", "\u251c\u2500\u2500 ..\\\\x",
        "\u251c\u2500\u2500 ..\\\\..\\\\x", "\u251c\u2500\u2500 ..\\\\..\\\\..\\\\x", "\u251c\u2500\u2500 a",
        "\u251c\u2500\u2500 b", "\u251c\u2500\u2500 " + kEscShown, "\u2514\u2500\u2500 " + kC1Shown, "",
        "2 directories, 10 files"}},
      {{"stat", "/d/" + kEsc}, kOk, {"path: /d/" + kEscShown, "exists: yes", "type: file", "size: 3"}},
      {{"stat", "--json", "/d/" + kEsc},
       kOk,
       {R"({"path":"/d/\u001b]0;pwned\u0007","exists":true,"type":"file","size":3})"}},
      {{"state"}, kOk, {"connected: yes", "address: " + phone_.address(), "device: ph\\033[2Jone\\r"}},
      {{"state", "--json"},
       kOk,
       {R"({"connected":true,"address":")" + phone_.address() + R"(","device":"ph\u001b[2Jone\r"})"}},
      {{"rm", "/d/" + kEsc}, kRefused, {}, "korvex: rm: /d/" + kEscShown + ": the phone refused the request\n"},
      {{"get", "/d/" + kEsc, local_.string()},
       kLocalFile,
       {},
       "korvex: get: /d/" + kEscShown + ": its name cannot name a local file\n"},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const std::string& arg : c.args) shown += arg + " ";
    SCOPED_TRACE(shown);
    CliResult result = korvex(c.args);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.all();
    EXPECT_EQ(lines(result.out), c.out);
    EXPECT_EQ(result.err, c.err);
    EXPECT_FALSE(holdsControls(result.all())) << result.all();
  }
  EXPECT_EQ(localEntries(), std::set<std::string>{});
}

}  // namespace
}  // namespace korvex::test
