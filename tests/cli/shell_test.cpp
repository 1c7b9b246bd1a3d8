// The shell against a real service: in batch mode, each script's output,
// status, and what the phone and the local directory hold afterwards; on a
// terminal, what typing shows.
#include <sys/wait.h>

#include <string_view>

#include "cli_fixture.h"

namespace korvex::test {
namespace {

using namespace exit_code;
using ::testing::HasSubstr;

struct Batch {
  const char* name;
  std::string script;  // "@LOCAL" stands for the local scratch directory, @LOCAL/home for HOME
  int exitCode;
  std::vector<std::string> out;  // pieces standard output holds
  std::string err;               // a piece standard error holds; ending in a line end: all it holds
  std::vector<std::string> phonePresent, phoneAbsent, localPresent;
};

void PrintTo(const Batch& batch, std::ostream* out) { *out << batch.name; }

const Batch kBatches[] = {
    {"RelativePathsFollowCd", "cd dir\nstat a.txt\nmkdir sub\npwd\ncd ..\nls\ncd dir/sub\npwd\n", kOk,
     {"path: /dir/a.txt\nexists: yes\ntype: file\nsize: 5\n/dir\ndir/\nb c.txt\n/dir/sub\n"}, "", {"dir/sub"}, {"sub"}, {}},
    {"RelativeLocalNamesFollowLcd", "lcd @LOCAL\ncd dir\nget a.txt copy.txt\nput up.txt sent.txt\nlls\n", kOk,
     {"copy.txt\nhome/\nscript\nup.txt\n"}, "", {"dir/sent.txt"}, {"sent.txt"}, {"copy.txt"}},
    {"AFailingLineStopsTheBatchInOneLine", "rm missing\nmkdir after\n", kRefused, {},
     "korvex: batch line 1: rm: /missing: no such file or directory\n", {}, {"after"}, {}},
    {"AFailureWithoutAMessageIsNamed", "!exit 4\n", 4, {}, "korvex: batch line 1: failed with exit status 4\n", {}, {},
     {}},
    {"ADashedFailingLineDoesNot", "-rm missing\nmkdir after\n", kOk, {}, "rm: /missing: no such file or directory",
     {"after"}, {}, {}},
    {"CommentsAndBlankLinesAreSkipped", "# rm 'b c.txt'\n\n   \n\t# mkdir x\nls\n", kOk, {"b c.txt\n"}, "",
     {"b c.txt"}, {"x"}, {}},
    {"QuotesAndEscapesKeepSpacesInNames", "mv 'b c.txt' \"d e.txt\"\nstat d\\ e.txt\n", kOk, {"path: /d e.txt\n"}, "",
     {"d e.txt"}, {"b c.txt"}, {}},
    {"AnUnclosedQuoteIsAUsageError", "\n\nrm 'b c.txt\nmkdir after\n", kUsage, {},
     "korvex: batch line 3: unclosed ' quote", {"b c.txt"}, {"after"}, {}},
    {"CdRefusesAFile", "cd 'b c.txt'\nmkdir after\n", kRefused, {}, "cd: /b c.txt: not a directory", {},
     {"after"}, {}},
    {"ExitEndsWithTheLastStatus", "-rm missing\nexit\nmkdir after\n", kRefused, {}, "rm: /missing", {},
     {"after"}, {}},
    {"AnUnknownCommandIsAUsageError", "frobnicate dir\n", kUsage, {},
     "batch line 1: frobnicate: no such command", {}, {}, {}},
    {"ABadOptionIsAUsageError", "ls --bogus\nmkdir after\n", kUsage, {}, "batch line 1: ls: ", {}, {"after"}, {}},
    {"LocalCommandsRunAndTheirStatusCounts", "!echo from the local shell\n!exit 3\nmkdir after\n", 3,
     {"from the local shell\n"}, "batch line 2: failed with exit status 3", {}, {"after"}, {}},
    {"HelpListsBothKinds", "help\n", kOk, {"  get ", "  rmdir ", "  cd [DIR] ", "  lcd [DIR] ", "  exit, quit "}, "",
     {}, {}, {}},
    {"HelpOnOneCommandShowsItsHelp", "help ls\nhelp lcd\n", kOk,
     {"Usage: ls [OPTIONS] [PATH]", "--json", "file (the working directory without one)", "lcd [DIR]: change"}, "",
     {}, {}, {}},
    {"AGetOrPutWithoutADestinationUsesTheWorkingDirectories", "lcd @LOCAL\ncd dir\nget a.txt\nput up.txt\n", kOk, {},
     "", {"dir/up.txt"}, {"up.txt"}, {"a.txt"}},
    {"LcdAloneOrWithATildeGoesHome", "lcd\nlpwd\nlcd /\nlcd ~/sub\nlpwd\n", kOk, {"@LOCAL/home\n@LOCAL/home/sub\n"},
     "", {}, {}, {}},
    {"LlsWithOptionsIsTheSystemsListing", "lcd @LOCAL\nlls -l up.txt 'b c'\n", 2, {"-rw", " up.txt\n"},
     "b c", {}, {}, {}},  // ls says it has no "b c", quoted whole, and fails with 2
    {"AUsageErrorNamesTheCommandOnce", "mv /a\n", kUsage, {}, "korvex: batch line 1: mv: needs a source", {}, {}, {}},
};

class ShellBatchTest : public CliTest, public ::testing::WithParamInterface<Batch> {};

TEST_P(ShellBatchTest, RunsTheScript) {
  const Batch& batch = GetParam();
  fs::create_directory(phone("dir"));
  writeFile(phone("dir/a.txt"), "alpha");
  writeFile(phone("b c.txt"), "bc");
  writeFile(local("up.txt"), "upload");
  fs::create_directories(local("home/sub"));
  const std::string scratch = local("").parent_path().string();
  const auto expand = [&scratch](std::string text) {
    for (std::size_t at; (at = text.find("@LOCAL")) != std::string::npos;) text.replace(at, 6, scratch);
    return text;
  };
  const fs::path file = local("script");
  writeFile(file, expand(batch.script));

  const CliResult result = korvex({"shell", "-b", file.string()}, {.env = {{"HOME", local("home").string()}}});
  EXPECT_EQ(result.exitCode, batch.exitCode) << result.all();
  for (const std::string& piece : batch.out) EXPECT_THAT(result.out, HasSubstr(expand(piece)));
  if (batch.err.empty() || batch.err.back() == '\n') {
    EXPECT_EQ(result.err, batch.err);
  } else {
    EXPECT_THAT(result.err, HasSubstr(batch.err));
  }
  for (const std::string& path : batch.phonePresent) EXPECT_TRUE(fs::exists(phone(path))) << path;
  for (const std::string& path : batch.phoneAbsent) EXPECT_FALSE(fs::exists(phone(path))) << path;
  for (const std::string& name : batch.localPresent) EXPECT_TRUE(fs::exists(local(name))) << name;
}

INSTANTIATE_TEST_SUITE_P(Batches, ShellBatchTest, ::testing::ValuesIn(kBatches),
                         [](const auto& info) { return std::string(info.param.name); });

// What a person types at the shell on a terminal, through the line
// editor, and what the terminal shows after each step.
struct Typing {
  const char* name;
  std::vector<std::pair<std::string, std::string>> steps;  // keys typed, then a piece the terminal shows next
  int exitCode;
};

void PrintTo(const Typing& typing, std::ostream* out) { *out << typing.name; }

const char kPrompt[] = ":/> ";

const Typing kTypings[] = {
    {"TabOnAnEmptyLineListsTheCommands", {{"\t", "lpwd"}, {"exit\r", ""}}, kOk},
    {"TabAfterALetterListsTheCommandsItStarts", {{"l\t", "lpwd"}, {"\x15" "exit\r", ""}}, kOk},
    {"TabCompletesAPhonePath", {{"ls /D\t", "ocuments/"}, {"\r", "notes.txt"}, {"exit\r", ""}}, kOk},
    {"NamesBeyondAsciiCanBeTyped", {{"mkdir /n\xc3\xa9" "e\r", kPrompt}, {"ls\r", "n\xc3\xa9" "e/"}, {"exit\r", ""}},
     kOk},
    {"CtrlCDropsTheLineForANewPrompt", {{"rm -r /Documents\x03", kPrompt}, {"\x03", kPrompt}, {"ls\r", "Documents/"},
                                       {"exit\r", ""}}, kOk},
};

class ShellTerminalTest : public CliTest, public ::testing::WithParamInterface<Typing> {};

TEST_P(ShellTerminalTest, AnswersWhatIsTyped) {
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer holds an asynchronous signal's handler back until the
  // thread leaves the call it waits in, and the shell's wait for a key ends
  // only through that handler.
  if (std::string_view(GetParam().name) == "CtrlCDropsTheLineForANewPrompt") {
    GTEST_SKIP() << "ThreadSanitizer delays signal handlers during a wait";
  }
#endif
  const Typing& typing = GetParam();
  fs::create_directory(phone("Documents"));
  writeFile(phone("Documents/notes.txt"), "notes");
  CliTerminal terminal(login(), {{"LC_ALL", "C.UTF-8"}});
  ASSERT_TRUE(terminal.waitFor(kPrompt)) << terminal.shown();
  for (const auto& [keys, shows] : typing.steps) {
    terminal.type(keys);
    EXPECT_TRUE(terminal.waitFor(shows)) << "after " << keys << ":\n" << terminal.shown();
  }
  const std::optional<int> status = terminal.waitExit();
  ASSERT_TRUE(status) << terminal.shown();
  EXPECT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status) << "\n" << terminal.shown();
  EXPECT_EQ(WEXITSTATUS(*status), typing.exitCode) << terminal.shown();
}

INSTANTIATE_TEST_SUITE_P(Typed, ShellTerminalTest, ::testing::ValuesIn(kTypings),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ShellStartTest, APhoneThatCannotBeReachedIsSaidBeforeThePrompt) {
  RefusingPort port;
  CliTerminal terminal({"--host", port.address(), "--password", "pw"});
  ASSERT_TRUE(terminal.waitFor(kPrompt)) << terminal.shown();
  const std::string shown = terminal.shown();
  EXPECT_LT(shown.find("korvex: cannot connect to " + port.address()), shown.find(kPrompt)) << shown;
  terminal.type("lpwd\r");  // the shell goes on
  EXPECT_TRUE(terminal.waitFor(kPrompt)) << terminal.shown();
  terminal.type("exit\r");
  const std::optional<int> status = terminal.waitExit();
  ASSERT_TRUE(status && WIFEXITED(*status)) << terminal.shown();
  EXPECT_EQ(WEXITSTATUS(*status), kOk);
}

using ShellTest = CliTest;

TEST_F(ShellTest, CopiesKeepTheirContentAndAMissingBatchFileIsALocalError) {
  writeFile(local("up.txt"), randomBytes(70000, 7));
  writeFile(local("script"), "lcd " + local("").string() + "\nput up.txt /up.bin\nget /up.bin down.bin\n");
  const CliResult copied = korvex({"shell", "-b", local("script").string()});
  ASSERT_EQ(copied.exitCode, kOk) << copied.all();
  EXPECT_EQ(readFile(phone("up.bin")), readFile(local("up.txt")));
  EXPECT_EQ(readFile(local("down.bin")), readFile(local("up.txt")));

  const CliResult missing = korvex({"shell", "-b", local("none").string()});
  EXPECT_EQ(missing.exitCode, kLocalFile);
  EXPECT_THAT(missing.err, HasSubstr("cannot be opened"));
}

}  // namespace
}  // namespace korvex::test
