// The conveniences around the commands: the saved host, rm and mv of several
// paths, cat and put -, human sizes, -q and -v, and --json summaries.
#include <regex>

#include "cli_fixture.h"

namespace korvex::test {
namespace {

using namespace exit_code;
using ::testing::HasSubstr;

// What the command line joined with spaces, for a trace.
std::string joined(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& arg : args) text += (text.empty() ? "" : " ") + arg;
  return text;
}

bool isEmptyDirectory(const fs::path& path) { return fs::is_directory(path) && fs::is_empty(path); }

// A configuration file under a directory of its own, and password files.
class ConfigTest : public CliTest {
 protected:
  ConfigTest() {
    fs::create_directories(local("config/korvex"));
    writeSecret("good-pw", service().password());
    writeSecret("bad-pw", "not-the-password");
  }
  void writeSecret(const std::string& name, const std::string& text) {
    writeFile(local(name), text + "\n");
    fs::permissions(local(name), fs::perms::owner_read | fs::perms::owner_write);
  }
  void writeConfig(const std::string& text) { writeFile(local("config/korvex/config"), text); }
  std::map<std::string, std::string> env(std::map<std::string, std::string> more = {}) {
    more["XDG_CONFIG_HOME"] = local("config").string();
    return more;
  }
};

TEST_F(ConfigTest, AddressAndPasswordComeFromTheStrongestSource) {
  RefusingPort nobody;
  const std::string good = service().address(), bad = nobody.address();
  writeConfig("[default]\nhost = " + good + "\npassword-file = " + local("good-pw").string() +
              "\n\n[phone]\nhost=" + good + "\npassword-file=" + local("good-pw").string() +
              "\n[wrong]\nhost=" + bad + "\npassword-file=" + local("bad-pw").string() + "\n");
  const std::string connected = "address: " + good;
  struct Case {
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
    int exitCode;
    std::string output;  // a part of out and err
  };
  const Case cases[] = {
      {{"state"}, {}, kOk, connected},
      {{"state"}, {{"KORVEX_HOST", bad}}, kNoConnect, "cannot connect to " + bad},
      {{"--phone", "phone", "state"}, {{"KORVEX_HOST", bad}, {"KORVEX_PASSWORD", "x"}}, kOk, connected},
      {{"--phone", "wrong", "state"}, {}, kNoConnect, "cannot connect to " + bad},
      {{"--phone", "wrong", "--host", good, "state"}, {}, kLoginRefused, "login to " + good + " refused"},
      {{"--phone", "wrong", "--host", good, "--password-file", local("good-pw").string(), "state"}, {}, kOk, connected},
      {{"state"}, {{"KORVEX_PASSWORD", "not-the-password"}}, kLoginRefused, "refused"},
      {{"--phone", "tablet", "state"},
       {},
       kUsage,
       "--phone tablet: no such phone in " + local("config/korvex/config").string()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(joined(c.args));
    CliResult result = runCli(c.args, {.env = env(c.env)});
    EXPECT_EQ(result.exitCode, c.exitCode) << result.all();
    EXPECT_THAT(result.all(), HasSubstr(c.output));
  }
}

TEST_F(ConfigTest, AFileThatCannotBeReadIsNamed) {
  const std::string file = local("config/korvex/config").string();
  struct Case {
    std::string config;  // empty: no file
    std::string err;
  };
  const Case cases[] = {
      {"", "korvex: --phone: " + file + ": No such file or directory\n"},
      {"[phone]\nhost\n", "korvex: " + file + ": line 2: expected key=value\n"},
      {"[phone]\nhostname=a\n", "korvex: " + file + ": line 2: unknown key hostname (host and password-file are known)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config);
    fs::remove(file);
    if (!c.config.empty()) writeConfig(c.config);
    CliResult result = runCli({"--phone", "phone", "state"}, {.env = env()});
    EXPECT_EQ(result.exitCode, kUsage) << result.all();
    EXPECT_EQ(result.err, c.err);
  }
}

TEST_F(ConfigTest, APasswordFileOthersMayReadIsRefusedHoweverItIsNamed) {
  // The file is named with ~, which is the home directory.
  writeConfig("[phone]\nhost=" + service().address() + "\npassword-file=~/secret\n");
  const std::string secret = local("secret").string();
  struct Case {
    fs::perms extra;
    int exitCode;
  };
  const Case cases[] = {
      {fs::perms::none, kOk},
      {fs::perms::group_read, kUsage},
      {fs::perms::group_write, kUsage},
      {fs::perms::others_read, kUsage},
      {fs::perms::others_write, kUsage},
      {fs::perms::group_exec | fs::perms::others_exec, kOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.extra));
    writeFile(secret, service().password() + "\n");
    fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write | c.extra);
    CliResult result = runCli({"--phone", "phone", "state"}, {.env = env({{"HOME", local("secret").parent_path().string()}})});
    EXPECT_EQ(result.exitCode, c.exitCode) << result.all();
    if (c.exitCode == kUsage) {
      EXPECT_EQ(result.err, "korvex: " + secret + ": the password file is readable by others (chmod 600 it)\n");
      EXPECT_EQ(result.out, "");
    }
  }
  // Given on the command line, the same. A device or a pipe holds no stored
  // secret: /dev/null passes (and its empty password is refused at login).
  fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
  CliResult given = runCli({"--host", service().address(), "--password-file", secret, "state"}, {.env = env()});
  EXPECT_EQ(given.exitCode, kUsage) << given.all();
  EXPECT_EQ(given.err, "korvex: " + secret + ": the password file is readable by others (chmod 600 it)\n");
  CliResult device = runCli({"--host", service().address(), "--password-file", "/dev/null", "state"}, {.env = env()});
  EXPECT_EQ(device.exitCode, kLoginRefused) << device.all();
}

using ChangesTest = CliTest;

TEST_F(ChangesTest, RmRemovesEveryPathItCanAndReportsTheRest) {
  fs::create_directories(phone("tree/sub"));
  fs::create_directories(phone("kept"));
  for (const char* file : {"a", "b", "tree/sub/c", "tree/d"}) writeFile(phone(file), "x");
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::vector<std::string> gone;
    std::vector<std::string> kept;
    std::string err;
  };
  const Case cases[] = {
      {{"rm", "/a", "/missing", "/b"}, kRefused, {"a", "b"}, {}, "korvex: rm: /missing: no such file or directory\n"},
      {{"rm", "/kept"}, kRefused, {}, {"kept"}, "korvex: rm: /kept: is a directory (use -r)\n"},
      {{"rm", "-r", "/tree", "/kept"}, kOk, {"tree", "kept"}, {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(joined(c.args));
    CliResult result = korvex(c.args);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.all();
    EXPECT_EQ(result.err, c.err);
    for (const std::string& path : c.gone) EXPECT_FALSE(fs::exists(phone(path))) << path;
    for (const std::string& path : c.kept) EXPECT_TRUE(fs::exists(phone(path))) << path;
  }
}

TEST_F(ChangesTest, MvOfSeveralOrOntoADirectoryGoesIntoIt) {
  fs::create_directories(phone("dir"));
  fs::create_directories(phone("sub"));
  for (const char* file : {"a", "b", "c", "d", "e", "g"}) writeFile(phone(file), file);
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::vector<std::string> there;  // afterwards, with the content of its base name
    std::string err;
  };
  const Case cases[] = {
      {{"mv", "/a", "/b", "/dir"}, kOk, {"dir/a", "dir/b"}, ""},
      {{"mv", "/c", "/dir/"}, kOk, {"dir/c"}, ""},
      {{"mv", "/missing", "/d", "/dir"}, kRefused, {"dir/d"}, "korvex: mv: /missing: no such file or directory\n"},
      {{"mv", "/e", "/nowhere/"}, kRefused, {"e"}, "korvex: mv: /nowhere/: no such file or directory\n"},
      {{"mv", "/e", "/f"}, kOk, {}, ""},  // one source: a rename, as before
      {{"mv", "/g", "/dir"}, kOk, {"dir/g"}, ""},  // an existing directory, as GNU mv
      {{"mv", "/sub", "/dir"}, kOk, {}, ""},
      {{"mv", "/dir", "/dir/sub/"}, kUsage, {}, "korvex: mv: /dir -> /dir/sub/dir: a directory cannot move into itself\n"},
      {{"mv", "/dir/", "/dir"}, kUsage, {}, "korvex: mv: /dir/ -> /dir/dir: a directory cannot move into itself\n"},
      {{"mv", "/", "/top"}, kUsage, {}, "korvex: mv: /: the root cannot be moved\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(joined(c.args));
    CliResult result = korvex(c.args);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.all();
    EXPECT_EQ(result.err, c.err);
    for (const std::string& path : c.there) EXPECT_EQ(readFile(phone(path)), fs::path(path).filename().string());
  }
  EXPECT_EQ(readFile(phone("f")), "e");
  EXPECT_TRUE(fs::is_directory(phone("dir/sub")));
}

// cat and put - use a temporary file, which must be gone on every way out.
class StreamTest : public CliTest {
 protected:
  StreamTest() { fs::create_directories(local("tmp")); }
  CliResult run(const std::vector<std::string>& args, const fs::path& input = {}) {
    CliResult result = korvex(args, {.env = {{"TMPDIR", local("tmp").string()}}, .input = input});
    EXPECT_TRUE(isEmptyDirectory(local("tmp"))) << "a temporary file was left behind";
    return result;
  }
};

TEST_F(StreamTest, CatWritesTheFileAsItIs) {
  const std::string bytes = randomBytes(300 * 1024 + 7, 11) + std::string("\0\r\n\x1a", 4);
  writeFile(phone("photo.jpg"), bytes);
  writeFile(phone("empty"), "");
  fs::create_directories(phone("dir"));
  struct Case {
    std::string path;
    int exitCode;
    std::string out;
  };
  const Case cases[] = {{"/photo.jpg", kOk, bytes}, {"/empty", kOk, ""}, {"/missing", kRefused, ""}, {"/dir", kRefused, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    CliResult result = run({"cat", c.path});
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    EXPECT_TRUE(result.out == c.out) << result.out.size() << " bytes written";
    if (c.exitCode != kOk) {
      EXPECT_THAT(result.err, HasSubstr("korvex: cat: " + c.path + ": "));
    }
  }
}

TEST_F(StreamTest, PutDashUploadsStandardInput) {
  fs::create_directories(phone("dir"));
  const std::string bytes = randomBytes(200 * 1024 + 3, 12) + std::string("\0\r\n\x1a", 4);
  writeFile(local("input"), bytes);
  writeFile(local("nothing"), "");
  struct Case {
    std::vector<std::string> args;
    std::string input;
    int exitCode;
    std::string stored;  // phone path, when the upload arrives
  };
  const Case cases[] = {
      {{"put", "-", "/dir/in.bin"}, "input", kOk, "dir/in.bin"},
      {{"put", "-", "/none.bin"}, "nothing", kOk, "none.bin"},
      {{"put", "-", "/dir"}, "input", kUsage, ""},
      {{"put", "-", "/missing/in.bin"}, "input", kRefused, ""},
      {{"put", "-", local("input").string(), "/dir"}, "input", kUsage, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(joined(c.args));
    CliResult result = run(c.args, local(c.input));
    EXPECT_EQ(result.exitCode, c.exitCode) << result.all();
    if (c.stored.empty()) continue;
    EXPECT_TRUE(readFile(phone(c.stored)) == readFile(local(c.input)));
    EXPECT_THAT(result.out, HasSubstr("put: stdin -> /" + c.stored + ": "));
  }
  EXPECT_FALSE(fs::exists(phone("dir/input")));
}

using OutputTest = CliTest;

TEST_F(OutputTest, ListingsShowDirectoriesMarkedAndHumanSizes) {
  fs::create_directories(phone("photos/2024"));
  writeFile(phone("a.txt"), std::string(500, 'a'));
  writeFile(phone("b.jpg"), std::string(1536, 'b'));
  writeFile(phone("photos/c.jpg"), "c");
  writeFile(phone("clip.mp4"), "");
  fs::resize_file(phone("clip.mp4"), 3565158);
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> out;
  };
  const Case cases[] = {
      {{"ls", "/"}, {"photos/", "a.txt", "b.jpg", "clip.mp4"}},
      {{"ls", "-f", "/"}, {"a.txt", "b.jpg", "clip.mp4"}},
      {{"ls", "-D", "/"}, {"photos"}},
      {{"ls", "-F", "-D", "/"}, {"photos/"}},
      {{"ls", "-d", "/photos"}, {"/photos/"}},  // the directory itself, as ls -d
      {{"ls", "-d", "/"}, {"/"}},
      {{"ls", "-ld", "/photos"}, {"d            -  /photos"}},
      {{"ls", "-ld", "/a.txt"}, {"-          500  /a.txt"}},
      {{"ls", "-h", "/"}, {"     -  photos/", "   500  a.txt", "  1.5K  b.jpg", "  3.4M  clip.mp4"}},
      {{"ls", "-lh", "/"},
       {"d            -  photos", "-          500  a.txt", "-         1.5K  b.jpg", "-         3.4M  clip.mp4"}},
      {{"ls", "-lF", "-D", "/"}, {"d            -  photos/"}},
      {{"ls", "-R", "-F", "/photos"}, {"2024/", "c.jpg"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(joined(c.args));
    CliResult result = korvex(c.args);
    EXPECT_EQ(result.exitCode, kOk) << result.all();
    EXPECT_EQ(lines(result.out), c.out);
  }
  // -h is the sizes' for ls; --help still helps, and -h does for korvex itself.
  for (const std::vector<std::string>& help : {std::vector<std::string>{"ls", "--help"}, {"-h"}}) {
    CliResult result = runCli(help);
    EXPECT_EQ(result.exitCode, kOk) << result.all();
    EXPECT_THAT(result.out, HasSubstr("Usage: korvex"));
  }
  EXPECT_THAT(runCli({"ls", "--help"}).out, HasSubstr("-h,--human-readable"));
}

TEST_F(OutputTest, QuietVerboseAndJsonChooseWhatTheCopiesSay) {
  fs::create_directories(phone("tree/sub"));
  writeFile(phone("tree/a.bin"), std::string(3000, 'a'));
  writeFile(phone("tree/sub/b.bin"), std::string(2000, 'b'));
  writeFile(local("up.bin"), std::string(1000, 'u'));
  fs::create_directories(local("down"));
  const std::string down = local("down").string();
  const std::string seconds = R"("seconds":[0-9]+\.[0-9]{3}\})";
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string out;  // a regular expression for the whole of standard output
    std::string err;  // the same for standard error
  };
  const Case cases[] = {
      {{"-q", "put", local("up.bin").string(), "/up.bin"}, kOk, "", ""},
      {{"-q", "get", "-r", "/tree", down + "/q"}, kOk, "", ""},
      {{"-q", "get", "/tree/a.bin", "/tree/missing", down + "/"},
       kRefused,
       "",
       "korvex: get: /tree/missing: no such file or directory\nkorvex: get: 1 of 2 files did not arrive\n"},
      {{"-v", "get", "-r", "/tree", down + "/v"},
       kOk,
       "(get: /tree/(a|sub/b).bin -> " + down + "/v/(a|sub/b).bin\n){2}get: 2 of 2 files, 4.9 KiB in .*\n",
       "korvex: connected to " + service().address() + "\n"},
      {{"put", "--json", local("up.bin").string(), "/up2.bin"},
       kOk,
       R"(\{"files":1,"arrived":1,"failed":0,"bytes":1000,)" + seconds + "\n",
       ""},
      {{"-q", "get", "--json", "-r", "/tree", down + "/j"},
       kOk,
       R"(\{"files":2,"arrived":2,"failed":0,"bytes":5000,)" + seconds + "\n",
       ""},
      {{"get", "--json", "/tree/a.bin", "/tree/missing", down + "/"},
       kRefused,
       R"(\{"files":2,"arrived":1,"failed":1,"bytes":3000,)" + seconds + "\n",
       "korvex: get: /tree/missing: no such file or directory\nkorvex: get: 1 of 2 files did not arrive\n"},
      {{"-q", "-v", "state"}, kUsage, "", "(.|\n)+"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(joined(c.args));
    CliResult result = korvex(c.args);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.all();
    EXPECT_TRUE(std::regex_match(result.out, std::regex(c.out))) << result.out;
    EXPECT_TRUE(std::regex_match(result.err, std::regex(c.err))) << result.err;
  }
  EXPECT_EQ(readFile(phone("up.bin")), std::string(1000, 'u'));
  EXPECT_EQ(readFile(local("down/v/sub/b.bin")), std::string(2000, 'b'));
}

}  // namespace
}  // namespace korvex::test
