// Patterns on phone paths with ls, stat, get and rm: several matches, one,
// and none.
#include <map>

#include "cli_fixture.h"

namespace korvex::test {
namespace {

using namespace exit_code;
using ::testing::HasSubstr;

class PhoneGlobTest : public CliTest {
 protected:
  // /DCIM with two camera folders, a hidden file, a name with a literal
  // '*', and a folder whose name looks like a picture's.
  void makePhotos() {
    std::error_code ignored;
    fs::remove_all(phone("DCIM"), ignored);
    for (const char* folder : {"DCIM/100", "DCIM/101", "DCIM/dir.jpg"}) fs::create_directories(phone(folder));
    writeFile(phone("DCIM/100/IMG_1.jpg"), "one");
    writeFile(phone("DCIM/100/IMG_2.jpg"), "two!!");
    writeFile(phone("DCIM/101/IMG_3.jpg"), "three");
    writeFile(phone("DCIM/101/notes.txt"), "notes");
    writeFile(phone("DCIM/.hidden.jpg"), "h");
    writeFile(phone("DCIM/a*b.jpg"), "star");
    writeFile(phone("DCIM/top.jpg"), "top");
  }
};

TEST_F(PhoneGlobTest, ListAndStatShowEachMatchSortedByName) {
  makePhotos();
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {{"ls", "/DCIM/*/IMG_*.jpg"}, kOk, "100/IMG_1.jpg\n100/IMG_2.jpg\n101/IMG_3.jpg\n", ""},
      {{"ls", "/DCIM/*.jpg"}, kOk, "a*b.jpg\ndir.jpg/\ntop.jpg\n", ""},
      {{"ls", "-f", "/DCIM/*.jpg"}, kOk, "a*b.jpg\ntop.jpg\n", ""},
      {{"ls", "-l", "/DCIM/10[!0]/*"}, kOk, "-            5  101/IMG_3.jpg\n-            5  101/notes.txt\n", ""},
      {{"ls", "/DCIM/.*"}, kOk, ".hidden.jpg\n", ""},
      {{"ls", "--json", "/DCIM/1?\?/IMG_2.jpg"},
       kOk,
       "[{\"name\":\"100/IMG_2.jpg\",\"type\":\"file\",\"size\":5}]\n",
       ""},
      {{"ls", "/DCIM/*.xyz"}, kRefused, "", "korvex: ls: /DCIM/*.xyz: no match\n"},
      {{"ls", "/DCIM/*/IMG_9.jpg"}, kRefused, "", "korvex: ls: /DCIM/*/IMG_9.jpg: no match\n"},
      {{"stat", "/DCIM/a\\*b.jpg"}, kOk, "path: /DCIM/a*b.jpg\nexists: yes\ntype: file\nsize: 4\n", ""},
      {{"stat", "/DCIM/10?"},
       kOk,
       "path: /DCIM/100\nexists: yes\ntype: directory\n\npath: /DCIM/101\nexists: yes\ntype: directory\n",
       ""},
      {{"stat", "--json", "/DCIM/*/IMG_[23].jpg"},
       kOk,
       "{\"path\":\"/DCIM/100/IMG_2.jpg\",\"exists\":true,\"type\":\"file\",\"size\":5}\n"
       "{\"path\":\"/DCIM/101/IMG_3.jpg\",\"exists\":true,\"type\":\"file\",\"size\":5}\n",
       ""},
      {{"stat", "/DCIM/[x-z]*"}, kRefused, "", "korvex: stat: /DCIM/[x-z]*: no match\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    const CliResult result = korvex(c.args);
    EXPECT_EQ(result.exitCode, c.code) << result.all();
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
  }
}

TEST_F(PhoneGlobTest, GetAndRmTakeEveryMatch) {
  struct Case {
    const char* what;
    std::vector<std::string> args;  // "@" is the local scratch directory
    int code;
    const char* err;  // in standard error; "" for none at all
    std::vector<std::string> phoneGone, phoneLeft;
    std::map<std::string, std::string> fetched;  // the scratch directory's files and their bytes
  };
  const Case cases[] = {
      {"get several",
       {"get", "/DCIM/*/IMG_*.jpg", "@"},
       kOk,
       "",
       {},
       {"DCIM/100/IMG_1.jpg"},
       {{"IMG_1.jpg", "one"}, {"IMG_2.jpg", "two!!"}, {"IMG_3.jpg", "three"}}},
      {"get one", {"get", "/DCIM/t?p.jpg", "@"}, kOk, "", {}, {}, {{"top.jpg", "top"}}},
      {"get none", {"get", "/DCIM/*.xyz", "@"}, kRefused, "korvex: get: /DCIM/*.xyz: no match", {}, {}, {}},
      {"rm several",
       {"rm", "/DCIM/100/IMG_*.jpg"},
       kOk,
       "",
       {"DCIM/100/IMG_1.jpg", "DCIM/100/IMG_2.jpg"},
       {"DCIM/101/IMG_3.jpg"},
       {}},
      {"rm one, by an escaped name", {"rm", "/DCIM/a\\*b.jpg"}, kOk, "", {"DCIM/a*b.jpg"}, {"DCIM/top.jpg"}, {}},
      {"rm files, a directory match refused",
       {"rm", "/DCIM/*.jpg"},
       kRefused,
       "korvex: rm: /DCIM/dir.jpg: is a directory (use -r)",
       {"DCIM/a*b.jpg", "DCIM/top.jpg"},
       {"DCIM/dir.jpg", "DCIM/.hidden.jpg"},
       {}},
      {"rm none",
       {"rm", "/DCIM/*/*.xyz"},
       kRefused,
       "korvex: rm: /DCIM/*/*.xyz: no match",
       {},
       {"DCIM/top.jpg", "DCIM/101/notes.txt"},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    makePhotos();
    const fs::path scratch = local(std::string("out-") + std::to_string(&c - cases));
    fs::create_directories(scratch);
    std::vector<std::string> args = c.args;
    for (std::string& arg : args) {
      if (arg == "@") arg = scratch.string();
    }
    const CliResult result = korvex(args);
    EXPECT_EQ(result.exitCode, c.code) << result.all();
    if (*c.err) {
      EXPECT_THAT(result.err, HasSubstr(c.err));
    } else {
      EXPECT_EQ(result.err, "");
    }
    for (const std::string& gone : c.phoneGone) EXPECT_FALSE(fs::exists(phone(gone))) << gone;
    for (const std::string& left : c.phoneLeft) EXPECT_TRUE(fs::exists(phone(left))) << left;
    std::map<std::string, std::string> fetched;
    for (const auto& entry : fs::directory_iterator(scratch)) {
      fetched[entry.path().filename().string()] = readFile(entry.path());
    }
    EXPECT_EQ(fetched, c.fetched);
  }
}

}  // namespace
}  // namespace korvex::test
