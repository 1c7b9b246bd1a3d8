// The shell's text: splitting lines into words, resolving phone paths, and
// what Tab adds over a fake listing.
#include <gtest/gtest.h>

#include <map>

#include "shell_text.h"

namespace korvex::cli {
namespace {

using Words = std::vector<std::string>;

TEST(ShellTextTest, LinesSplitAsAShellSplitsSimpleWords) {
  const struct {
    const char* line;
    Words words;
    std::string error;
  } cases[] = {
      {"  ls  -l\t/a  ", {"ls", "-l", "/a"}, ""},
      {"get 'a b' c\\ d \"e f\"", {"get", "a b", "c d", "e f"}, ""},
      {"x 'it'\\''s' \"q\\\"\\\\\\$\\n\"", {"x", "it's", "q\"\\$\\n"}, ""},
      {"a'b'\"c\"d e", {"abcd", "e"}, ""},
      {"rm '' \"\"", {"rm", "", ""}, ""},
      {"ls a#b # rm all", {"ls", "a#b"}, ""},
      {"'#x' \\#y", {"#x", "#y"}, ""},
      {"", {}, ""},
      {"rm 'a b", {}, "unclosed ' quote"},
      {"rm \"a b", {}, "unclosed \" quote"},
      {"rm a\\", {}, "the line ends in a backslash"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const SplitLine split = splitLine(c.line);
    EXPECT_EQ(split.words, c.words);
    EXPECT_EQ(split.error, c.error);
  }
}

TEST(ShellTextTest, QuotedWordsReadBackAsThemselves) {
  for (const std::string word : {"plain", "a b", "it's", "q\"x", "back\\slash", "#hash", "mid#hash", "", "\ttab"}) {
    SCOPED_TRACE(word);
    const SplitLine split = splitLine("cmd " + quoteWord(word) + " end");
    EXPECT_EQ(split.words, (Words{"cmd", word, "end"}));
  }
}

TEST(ShellTextTest, PhonePathsResolveAgainstTheDirectory) {
  const struct {
    const char* directory;
    const char* path;
    const char* resolved;
  } cases[] = {
      {"/sdcard", "a.txt", "/sdcard/a.txt"},   {"/", "a", "/a"},
      {"/sdcard", "/abs/x", "/abs/x"},         {"/a/b", "..", "/a"},
      {"/a/b", "../../..", "/"},               {"/a", "./x/./y/../z", "/a/x/z"},
      {"/a", "dir/", "/a/dir/"},               {"/a", "../", "/"},
      {"/a", "x//y", "/a/x/y"},                {"/a", ".", "/a"},
      {"/a", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.directory) + " + " + c.path);
    EXPECT_EQ(resolvePhonePath(c.directory, c.path), c.resolved);
  }
}

TEST(ShellTextTest, TabCompletesCommandsAndPhonePathsFromListings) {
  const std::map<std::string, Words> listings = {
      {"/", {"DCIM/", "docs/", "notes.txt", "my file.txt"}},
      {"/DCIM", {"Camera/", "cam.jpg"}},
      {"/docs", {"a.pdf", "a.txt", "b.txt"}},
  };
  std::vector<std::string> asked;
  const PhoneLister list = [&](const std::string& directory) -> std::optional<Words> {
    asked.push_back(directory);
    const auto found = listings.find(directory);
    if (found == listings.end()) return std::nullopt;
    return found->second;
  };
  const Words commands = {"ls", "lcd", "lls", "get", "put", "rm"};
  const Words phoneCommands = {"ls", "get", "put", "rm"};
  const struct {
    const char* line;
    const char* insert;
    Words choices;
  } cases[] = {
      {"g", "et ", {}},
      {"l", "", {"lcd", "lls", "ls"}},
      {"ll", "s ", {}},
      {"ls n", "otes.txt ", {}},
      {"ls d", "ocs/", {}},
      {"get /D", "CIM/", {}},
      {"get /DCIM/c", "am.jpg ", {}},
      {"get /DCIM/C", "amera/", {}},
      {"rm docs/a", ".", {}},
      {"rm docs/a.", "", {"a.pdf", "a.txt"}},
      {"rm m", "y\\ file.txt ", {}},
      {"rm 'm", "y file.txt' ", {}},
      {"rm \"m", "y file.txt\" ", {}},
      {"ls missing/x", "", {}},
      {"ls z", "", {}},
      {"ls -", "", {}},
      {"lcd d", "", {}},
      {"!ls d", "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const Completion completion = completeLine(c.line, commands, phoneCommands, "/", list);
    EXPECT_EQ(completion.insert, c.insert);
    EXPECT_EQ(completion.choices, c.choices);
  }
  // A relative directory is listed under the working directory.
  asked.clear();
  EXPECT_EQ(completeLine("get Cam", commands, phoneCommands, "/DCIM", list).insert, "era/");
  EXPECT_EQ(completeLine("get ../no", commands, phoneCommands, "/docs", list).insert, "tes.txt ");
  EXPECT_EQ(asked, (Words{"/DCIM", "/"}));
}

}  // namespace
}  // namespace korvex::cli
