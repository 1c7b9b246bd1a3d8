// Each class of failure ends with its own exit code and a message naming
// the path and the reason; the password shows nowhere.
#include <thread>

#include "cli_fixture.h"
#include "scripted_peer.h"

namespace korvex::test {
namespace {

using namespace exit_code;
using ::testing::HasSubstr;
using ::testing::Not;

// Why no connection was made: nothing listening, a name that does not
// resolve (refused before any query leaves), a port the address cannot have.
TEST(CliConnectTest, ConnectFailuresSayWhy) {
  RefusingPort port;
  const struct {
    std::string host;
    int exitCode;
    std::string err;
  } cases[] = {
      {port.address(), kNoConnect,
       "korvex: cannot connect to " + port.address() + ": no service answered on that address and port\n"},
      {"bad..name:2424", kNoConnect, "korvex: cannot connect to bad..name:2424: the name bad..name cannot be resolved ("},
      {"127.0.0.1:70000", kUsage, "korvex: 127.0.0.1:70000: the port is out of range (1 to 65535)\n"},
      {"127.0.0.1:", kUsage, "korvex: 127.0.0.1:: the port is not a number from 1 to 65535\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    CliResult result = runCli({"--host", c.host, "--password", "pw", "state"});
    EXPECT_EQ(result.exitCode, c.exitCode) << result.all();
    EXPECT_THAT(result.err, ::testing::StartsWith(c.err));
    EXPECT_EQ(lines(result.err).size(), 1u) << result.err;
    EXPECT_EQ(result.out, "");
  }
}

// How a refused login ended: the phone closed the connection at once (as
// korvexd does on a wrong password), or said nothing for the library's 3 s.
TEST(CliConnectTest, LoginFailuresSayHowTheLoginEnded) {
  const struct {
    const char* phone;
    bool silent;  // keeps the connection open and answers nothing
    std::string reason;
  } cases[] = {
      {"closes at once", false, "the phone closed the connection (wrong password?)"},
      {"says nothing", true, "no answer within 3 s"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.phone);
    ScriptedPeer peer;
    std::thread phone([&] {
      if (!peer.accept()) return;
      if (c.silent) peer.clientClosed(10000);
      peer.close();
    });
    CliResult result = runCli({"--host", peer.address(), "--password", "pw", "state"});
    phone.join();
    EXPECT_EQ(result.exitCode, kLoginRefused) << result.all();
    EXPECT_EQ(result.err, "korvex: login to " + peer.address() + " refused: " + c.reason + "\n");
  }
}

TEST(CliUsageTest, BadCommandLinesAreUsageErrorsOfOneLineNamingTheCommand) {
  // None of these reaches the network, so no service is needed.
  const struct {
    std::vector<std::string> args;
    std::string err;  // how the line starts
  } cases[] = {
      {{}, "korvex: a command is required (see korvex --help)"},
      {{"--password", "pw"}, "korvex: a command is required"},
      {{"--password", "pw", "frobnicate"}, "korvex: "},
      {{"--password", "pw", "mkdir"}, "korvex: mkdir: PATHS is required (see korvex mkdir --help)"},
      {{"--password", "pw", "get", "/only-one"}, "korvex: get: needs a source and a destination"},
      {{"--password", "pw", "chown", "/f", "root", "0"}, "korvex: chown: "},
      {{"--password", "pw", "stat", "/" + std::string(1100, 'a')}, "korvex: stat: "},
      {{"--password", "pw", "mv", "/a", "/" + std::string(300, 'b')}, "korvex: mv: "},
      {{"--password", "pw", "--password-file", "/etc/hostname", "state"}, "korvex: "},
      {{"--password", "pw", "state", "--log-level", "9"}, "korvex: --log-level: "},  // a global option
      {{"--password", "pw", "put", "--progress", "sometimes", "/etc/hostname", "/x"}, "korvex: put: --progress: "},
      {{"state"}, "korvex: no password"},  // from anywhere
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const std::string& arg : c.args) shown += arg.substr(0, 20) + " ";
    SCOPED_TRACE(shown);
    CliResult result = runCli(c.args);
    EXPECT_EQ(result.exitCode, kUsage) << result.all();
    EXPECT_THAT(result.err, ::testing::StartsWith(c.err));
    EXPECT_EQ(lines(result.err).size(), 1u) << result.err;
  }
}

TEST(CliUsageTest, EveryCommandHasHelpEndingWithTheExitCodes) {
  for (const char* command : {"ls", "tree", "stat", "cat", "get", "put", "sync", "mv", "rm", "rmdir", "mkdir", "chown",
                              "df", "state", "shutdown", "reboot", "restart", "shell"}) {
    SCOPED_TRACE(command);
    CliResult result = runCli({command, "--help"});
    EXPECT_EQ(result.exitCode, kOk);
    EXPECT_THAT(result.out, HasSubstr("Usage: korvex " + std::string(command)));
    // Once: a command inherits the program's footer as well as getting its own.
    const std::string footer = "Exit codes: 0 ok, 1 refused by the phone";
    const std::size_t first = result.out.find(footer);
    EXPECT_NE(first, std::string::npos) << result.out;
    EXPECT_EQ(result.out.find(footer, first + 1), std::string::npos) << result.out;
  }
}

using FailuresTest = CliTest;

TEST_F(FailuresTest, WrongPasswordIsLoginRefused) {
  CliResult result = runCli({"--host", service().address(), "--password", "not-the-password", "ls", "/"});
  EXPECT_EQ(result.exitCode, kLoginRefused) << result.all();
  EXPECT_THAT(result.err, HasSubstr("login to " + service().address() + " refused: the phone closed the connection"));
  EXPECT_THAT(result.all(), Not(HasSubstr("not-the-password")));
}

TEST_F(FailuresTest, PasswordComesFromAFileOrTheEnvironment) {
  writeFile(local("password"), service().password() + "\n");
  fs::permissions(local("password"), fs::perms::owner_read | fs::perms::owner_write);
  CliResult fromFile = runCli({"--host", service().address(), "--password-file", local("password"), "state"});
  EXPECT_EQ(fromFile.exitCode, kOk) << fromFile.all();
  CliResult fromEnvironment =
      runCli({"--host", service().address(), "state"}, {.env = {{"KORVEX_PASSWORD", service().password()}}});
  EXPECT_EQ(fromEnvironment.exitCode, kOk) << fromEnvironment.all();

  CliResult missingFile = runCli({"--host", service().address(), "--password-file", local("absent"), "state"});
  EXPECT_EQ(missingFile.exitCode, kLocalFile);
  EXPECT_THAT(missingFile.err, HasSubstr(local("absent").string()));
}

TEST_F(FailuresTest, MissingPhoneFilesAreRefused) {
  const std::vector<std::vector<std::string>> cases = {
      {"get", "/missing.bin", local("out.bin")},
      {"stat", "/missing.bin"},
      {"rm", "/missing.bin"},
      {"mv", "/missing.bin", "/other.bin"},
      {"ls", "/missing.bin"},
      {"rmdir", "/missing.bin"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0]);
    CliResult result = korvex(args);
    EXPECT_EQ(result.exitCode, kRefused) << result.all();
    EXPECT_THAT(result.err, HasSubstr("/missing.bin: no such file or directory"));
  }
  EXPECT_FALSE(fs::exists(local("out.bin"))) << "a refused download must leave nothing behind";
}

TEST_F(FailuresTest, LocalFileProblemsAreLocalFileErrors) {
  fs::create_directory(local("folder"));
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"put", local("absent.bin"), "/x.bin"}, local("absent.bin").string() + ": No such file or directory"},
      {{"put", local("folder"), "/x.bin"}, local("folder").string() + ": is a directory"},
      {{"get", "/x.bin", local("no/such/dir/x.bin")}, local("no/such/dir").string() + ": No such file or directory"},
      {{"--log", local("no/such/dir/log"), "state"}, local("no/such/dir/log").string()},
  };
  writeFile(phone("x.bin"), "payload");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    CliResult result = korvex(c.args);
    EXPECT_EQ(result.exitCode, kLocalFile) << result.all();
    EXPECT_THAT(result.err, HasSubstr(c.message));
  }
}

// A tree whose destination cannot be a directory, or a copy whose phone
// folder is not there: said once, before the copy's sessions log in, and
// nothing is sent or written.
TEST_F(FailuresTest, ATreeOntoAFileIsRefusedOnce) {
  fs::create_directory(phone("Documents"));
  for (const char* name : {"a", "b", "c"}) writeFile(phone("Documents") / name, name);
  writeFile(phone("file.bin"), "phone file");
  fs::create_directories(phone("dir/tree"));
  fs::remove(phone("dir/tree"));
  writeFile(phone("dir/tree"), "in the way");
  writeFile(phone("x.bin"), "x");
  fs::create_directories(local("tree/sub"));
  writeFile(local("tree/sub/one"), "one");
  writeFile(local("existfile"), "local file");
  fs::create_directory(local("into"));
  writeFile(local("into/Documents"), "in the way");
  // A file in the way deep inside the destination.
  fs::create_directories(phone("T/sub/deep"));
  writeFile(phone("T/sub/f1"), "f1");
  writeFile(phone("T/sub/deep/x"), "x");
  writeFile(phone("T/g1"), "g1");
  fs::create_directories(local("nested/T"));
  writeFile(local("nested/T/sub"), "in the way");
  fs::create_directories(phone("P/tree"));
  writeFile(phone("P/tree/sub"), "in the way");
  const struct {
    std::vector<std::string> args;  // "@" starts a local path
    int exitCode;
    std::vector<std::string> err;  // its lines, each holding this piece
    long logins;                   // the command's session, and the copy's when something is copied
  } cases[] = {
      {{"get", "-r", "/Documents", "@existfile"}, kLocalFile, {"existfile: not a directory; nothing was copied"}, 1},
      {{"get", "-r", "/Documents", "@existfile/sub"}, kLocalFile,
       {"existfile/sub: Not a directory; nothing was copied"}, 1},
      {{"put", "-r", "@tree", "/file.bin"}, kRefused, {"put: /file.bin: not a directory; nothing was copied"}, 1},
      {{"put", "-r", "@tree", "/dir"}, kRefused, {"put: /dir/tree: not a directory; nothing was copied"}, 1},
      {{"get", "-r", "/Documents", "/x.bin", "@into"}, kLocalFile,
       {"into/Documents: not a directory; /Documents skipped", "get: 1 of 2 files did not arrive"}, 2},
      // A folder of the tree that cannot be made: one line, nothing below it tried.
      {{"get", "-r", "-j", "1", "/T", "@nested"}, kLocalFile,
       {"nested/T/sub: Not a directory; 2 files below it skipped", "get: 2 of 3 files did not arrive"}, 2},
      {{"put", "-r", "-j", "1", "@tree", "/P"}, kRefused,
       {"put: /P/tree/sub: not a directory; 1 file below it skipped", "put: 1 of 1 file did not arrive"}, 2},
      // A new tree or file needs its phone folder: a file on the way, or no folder.
      {{"put", "-r", "@tree", "/file.bin/sub"}, kRefused, {"put: /file.bin/sub: not a directory; nothing was copied"}, 1},
      {{"put", "-r", "@tree", "/nowhere/sub/"}, kRefused,
       {"put: /nowhere/sub: no such file or directory; nothing was copied"}, 1},
      {{"put", "@existfile", "/file.bin/sub"}, kRefused, {"put: /file.bin/sub: not a directory"}, 1},
      {{"put", "@existfile", "/nowhere/"}, kRefused, {"put: /nowhere/existfile: no such file or directory"}, 1},
      // sync's destination, in both dry run and run.
      {{"sync", "@tree", "phone:/file.bin"}, kRefused, {"sync: /file.bin: not a directory"}, 1},
      {{"sync", "@tree", "phone:/file.bin/sub"}, kRefused, {"sync: /file.bin/sub: not a directory"}, 1},
      {{"sync", "-n", "@tree", "phone:/nowhere/sub"}, kRefused, {"sync: /nowhere/sub: no such file or directory"}, 1},
      {{"sync", "@tree", "phone:/nowhere/sub"}, kRefused, {"sync: /nowhere/sub: no such file or directory"}, 1},
      {{"sync", "phone:/Documents", "@existfile"}, kLocalFile, {"sync: " + local("existfile").string() + ": not a directory"}, 1},
      {{"sync", "phone:/Documents", "@existfile/sub"}, kLocalFile, {"existfile/sub: Not a directory"}, 1},
  };
  for (const auto& row : cases) {
    std::vector<std::string> args;
    for (const std::string& arg : row.args) args.push_back(arg[0] == '@' ? local(arg.substr(1)).string() : arg);
    SCOPED_TRACE(args[0] + " " + args[args.size() - 2] + " " + args.back());
    const std::size_t before = lines(service().log()).size();
    const CliResult result = korvex(args);
    EXPECT_EQ(result.exitCode, row.exitCode) << result.all();
    const std::vector<std::string> said = lines(result.err);
    ASSERT_EQ(said.size(), row.err.size()) << result.err;
    for (std::size_t i = 0; i < said.size(); ++i) EXPECT_THAT(said[i], HasSubstr(row.err[i]));
    const std::vector<std::string> logged = lines(service().log());
    EXPECT_EQ(std::count_if(logged.begin() + static_cast<std::ptrdiff_t>(before), logged.end(),
                            [](const std::string& line) { return line.find("logged in") != std::string::npos; }),
              row.logins)
        << service().log();
  }
  EXPECT_EQ(readFile(local("existfile")), "local file");
  EXPECT_EQ(readFile(phone("file.bin")), "phone file");
  EXPECT_EQ(readFile(phone("dir/tree")), "in the way");
  EXPECT_TRUE(fs::exists(local("into/x.bin")));
  EXPECT_FALSE(fs::exists(phone("nowhere")));
  EXPECT_EQ(readFile(local("nested/T/g1")), "g1");
  EXPECT_EQ(readFile(phone("P/tree/sub")), "in the way");
}

TEST_F(FailuresTest, PasswordNeverAppearsInOutputOrLog) {
  const std::string& password = service().password();
  writeFile(local("data.bin"), randomBytes(100000, 1));
  // Everything the library can log, into a file and onto standard error.
  const std::vector<std::string> verbose = {"--log", local("korvex.log"), "--log-level", "8"};
  std::vector<std::vector<std::string>> runs = {
      {"state"},
      {"put", local("data.bin"), "/data.bin"},
      {"get", "/data.bin", local("back.bin")},
      {"ls", "/"},
      {"get", "/absent", local("absent.bin")},
  };
  std::string everything;
  for (auto args : runs) {
    args.insert(args.begin(), verbose.begin(), verbose.end());
    everything += korvex(args).all();
  }
  // And the log on standard error.
  CliResult toStandardError = korvex({"--log-level", "8", "put", local("data.bin"), "/again.bin"});
  EXPECT_EQ(toStandardError.exitCode, kOk) << toStandardError.all();
  EXPECT_GT(lines(toStandardError.err).size(), 3u) << "the library logged nothing to standard error";
  everything += toStandardError.all();

  std::string log = readFile(local("korvex.log"));
  ASSERT_NE(log, "") << "the log was not written";
  EXPECT_THAT(everything, Not(HasSubstr(password)));
  EXPECT_THAT(log, Not(HasSubstr(password)));
}

}  // namespace
}  // namespace korvex::test
