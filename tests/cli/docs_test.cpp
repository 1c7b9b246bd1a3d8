// The man pages and bash completions made at build time name every command
// and long option that the programs' --help lists, so neither can fall
// behind the options themselves.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "tool_docs.h"

namespace korvex::test {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// What `argv` prints on standard output; a failed test when it does not end with 0.
std::string output(const std::vector<std::string>& argv) {
  ChildProcess::Options launch;
  launch.argv = argv;
  launch.out.kind = ChildProcess::Output::Pipe;
  launch.err.kind = ChildProcess::Output::Pipe;
  ChildProcess child(launch);
  std::string out, err;
  EXPECT_TRUE(child.collect(out, err, std::chrono::seconds(20))) << argv[0] << " did not finish";
  const int status = child.waitExit(std::chrono::seconds(5)).value_or(-1);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << argv[0] << ": " << err;
  return out;
}

// The long options a help text lists, one per line that starts with them.
std::vector<std::string> longOptions(const std::string& help) {
  static const std::regex line(R"(^ +(?:-\w, ?)?(--[\w-]+))");
  std::vector<std::string> found;
  std::istringstream in(help);
  for (std::string text; std::getline(in, text);) {
    std::smatch match;
    if (std::regex_search(text, match, line)) found.push_back(match[1]);
  }
  return found;
}

// The commands listed under "Subcommands:", up to the next blank line.
std::vector<std::string> subcommands(const std::string& help) {
  std::vector<std::string> found;
  std::istringstream in(help);
  bool listing = false;
  for (std::string text; std::getline(in, text);) {
    if (text == "Subcommands:") listing = true;
    else if (text.empty()) listing = false;
    else if (listing && text.rfind("  ", 0) == 0 && text[2] != ' ') found.push_back(text.substr(2, text.find(' ', 2) - 2));
  }
  return found;
}

// The words of a shell script: split at blanks, quotes, '|' and parentheses.
std::set<std::string> shellWords(const std::string& script) {
  std::set<std::string> words;
  std::string word;
  for (char c : script + "\n") {
    if (std::string(" \t\n'\"|()").find(c) != std::string::npos) {
      if (!word.empty()) words.insert(word);
      word.clear();
    } else {
      word += c;
    }
  }
  return words;
}

struct Documented {
  const char* program;  // the built binary
  const char* name;     // as installed
  bool hasCommands;
};

std::vector<Documented> documentedPrograms() {
  std::vector<Documented> programs = {{KORVEX_CLI_PATH, "korvex", true}, {KORVEXD_PATH, "korvexd", false}};
#ifdef KORVEX_MOUNT_PATH
  programs.push_back({KORVEX_MOUNT_PATH, "korvex-mount", false});
#endif
  return programs;
}

TEST(CliDocs, ManPageAndBashCompletionNameEveryCommandAndLongOptionOfHelp) {
  for (const Documented& program : documentedPrograms()) {
    SCOPED_TRACE(program.name);
    const std::string share = KORVEX_SHARE_DIR;
    const std::string man = readFile(share + "/man/man1/" + program.name + ".1");
    const std::set<std::string> bash = shellWords(readFile(share + "/bash-completion/completions/" + program.name));
    ASSERT_FALSE(man.empty());
    ASSERT_FALSE(bash.empty());

    const std::string help = output({program.program, "--help"});
    // (command, its long options): the program itself first, as command "".
    std::vector<std::pair<std::string, std::vector<std::string>>> table = {{"", longOptions(help)}};
    for (const std::string& command : subcommands(help)) {
      table.push_back({command, longOptions(output({program.program, command, "--help"}))});
    }
    ASSERT_EQ(table.size() > 1, program.hasCommands) << help;

    for (const auto& [command, options] : table) {
      SCOPED_TRACE(command);
      // Every help lists --help: found, the lines are read as they should be.
      EXPECT_NE(std::find(options.begin(), options.end(), "--help"), options.end());
      if (!command.empty()) {
        EXPECT_NE(man.find("\\fB" + docs::roffText(std::string(program.name) + " " + command) + "\\fR"),
                  std::string::npos);
        EXPECT_TRUE(bash.count(command));
      }
      for (const std::string& option : options) {
        EXPECT_NE(man.find("\\fB" + docs::roffText(option) + "\\fR"), std::string::npos) << option;
        EXPECT_TRUE(bash.count(option)) << option;
      }
    }
  }
}

// Text that roff would take for something else comes out as itself.
TEST(CliDocs, RoffTextEscapesWhatRoffWouldInterpret) {
  const struct {
    const char* text;
    const char* roff;
  } cases[] = {
      {"plain words", "plain words"},
      {"--log-level", "\\-\\-log\\-level"},
      {"C:\\dir", "C:\\edir"},
      {".hidden at the start", "\\&.hidden at the start"},
      {"'quoted' at the start", "\\&'quoted' at the start"},
      {"first\n.second\n'third", "first\n\\&.second\n\\&'third"},
      {"a . or ' inside a line", "a . or ' inside a line"},
  };
  for (const auto& c : cases) EXPECT_EQ(docs::roffText(c.text), c.roff) << c.text;
}

}  // namespace
}  // namespace korvex::test
