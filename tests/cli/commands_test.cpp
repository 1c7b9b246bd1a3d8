// Every non-copy command against a real service: the effect on the served
// directory and what the client prints.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "cli_fixture.h"

namespace korvex::test {
namespace {

using namespace exit_code;
using ::testing::HasSubstr;

std::vector<std::string> sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

using CommandsTest = CliTest;

TEST_F(CommandsTest, StateNamesTheAddressAndTheDevice) {
  CliResult result = korvex({"state"});
  ASSERT_EQ(result.exitCode, kOk) << result.all();
  EXPECT_EQ(lines(result.out), (std::vector<std::string>{"connected: yes", "address: " + service().address(),
                                                         "device: " + service().deviceName()}));
  EXPECT_EQ(result.err, "");
}

TEST_F(CommandsTest, DirectoriesAreCreatedListedAndRemoved) {
  ASSERT_EQ(korvex({"mkdir", "/photos"}).exitCode, kOk);
  ASSERT_EQ(korvex({"mkdir", "/photos/2024"}).exitCode, kOk);
  EXPECT_TRUE(fs::is_directory(phone("photos/2024")));
  writeFile(phone("photos/a.jpg"), "aaa");
  writeFile(phone("photos/b c.jpg"), "bb");

  CliResult listed = korvex({"ls", "/photos"});
  ASSERT_EQ(listed.exitCode, kOk) << listed.all();
  EXPECT_EQ(sorted(lines(listed.out)), (std::vector<std::string>{"2024/", "a.jpg", "b c.jpg"}));
  CliResult directories = korvex({"ls", "-D", "/photos"});
  ASSERT_EQ(directories.exitCode, kOk) << directories.all();
  EXPECT_EQ(lines(directories.out), std::vector<std::string>{"2024"});
  CliResult empty = korvex({"ls", "/photos/2024"});
  EXPECT_EQ(empty.exitCode, kOk) << empty.all();
  EXPECT_EQ(empty.out, "");

  CliResult existing = korvex({"mkdir", "/photos"});
  EXPECT_EQ(existing.exitCode, kRefused);
  EXPECT_THAT(existing.err, HasSubstr("/photos: file exists"));
  CliResult orphan = korvex({"mkdir", "/none/child"});
  EXPECT_EQ(orphan.exitCode, kRefused);
  EXPECT_THAT(orphan.err, HasSubstr("/none/child: no such file or directory (use -p)"));

  CliResult notEmpty = korvex({"rmdir", "/photos"});
  EXPECT_EQ(notEmpty.exitCode, kRefused);
  EXPECT_THAT(notEmpty.err, HasSubstr("/photos: directory not empty"));
  EXPECT_TRUE(fs::exists(phone("photos")));
  ASSERT_EQ(korvex({"rmdir", "/photos/2024"}).exitCode, kOk);
  EXPECT_FALSE(fs::exists(phone("photos/2024")));
  ASSERT_EQ(korvex({"rmdir", "-r", "/photos"}).exitCode, kOk);
  EXPECT_FALSE(fs::exists(phone("photos")));
}

TEST_F(CommandsTest, ListingAFileShowsItAndAMissingDirectoryIsRefused) {
  writeFile(phone("note.txt"), "x");
  const struct {
    std::vector<std::string> args;
    std::string out;
  } files[] = {
      {{"ls", "/note.txt"}, "/note.txt\n"},
      {{"ls", "-l", "note.txt"}, "-            1  /note.txt\n"},
      {{"ls", "--json", "/note.txt"}, "[{\"name\":\"/note.txt\",\"type\":\"file\",\"size\":1}]\n"},
      {{"ls", "-D", "/note.txt"}, ""},  // only directories
      {{"ls", "-d", "/note.txt"}, "/note.txt\n"},
  };
  for (const auto& c : files) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    CliResult file = korvex(c.args);
    EXPECT_EQ(file.exitCode, kOk) << file.all();
    EXPECT_EQ(file.out, c.out);
    EXPECT_EQ(file.err, "");
  }
  CliResult missing = korvex({"ls", "-D", "/gone"});
  EXPECT_EQ(missing.exitCode, kRefused);
  EXPECT_THAT(missing.err, HasSubstr("ls: /gone: no such file or directory"));
  EXPECT_EQ(missing.out, "");
}

TEST_F(CommandsTest, StatDescribesFilesAndDirectories) {
  writeFile(phone("song.mp3"), std::string(12345, 's'));
  fs::create_directory(phone("music"));

  CliResult file = korvex({"stat", "/song.mp3"});
  ASSERT_EQ(file.exitCode, kOk) << file.all();
  EXPECT_EQ(lines(file.out),
            (std::vector<std::string>{"path: /song.mp3", "exists: yes", "type: file", "size: 12345"}));
  CliResult directory = korvex({"stat", "/music"});
  ASSERT_EQ(directory.exitCode, kOk) << directory.all();
  EXPECT_EQ(lines(directory.out), (std::vector<std::string>{"path: /music", "exists: yes", "type: directory"}));
  CliResult missing = korvex({"stat", "/nothing"});
  EXPECT_EQ(missing.exitCode, kRefused);
  EXPECT_THAT(missing.err, HasSubstr("stat: /nothing: no such file or directory"));
}

TEST_F(CommandsTest, FilesAreMovedAndDeleted) {
  writeFile(phone("draft.txt"), "words");
  fs::create_directory(phone("done"));
  ASSERT_EQ(korvex({"mv", "/draft.txt", "/done/final.txt"}).exitCode, kOk);
  EXPECT_FALSE(fs::exists(phone("draft.txt")));
  EXPECT_EQ(readFile(phone("done/final.txt")), "words");

  CliResult missingSource = korvex({"mv", "/draft.txt", "/again.txt"});
  EXPECT_EQ(missingSource.exitCode, kRefused);
  EXPECT_THAT(missingSource.err, HasSubstr("mv: /draft.txt: no such file or directory"));

  CliResult directory = korvex({"rm", "/done"});
  EXPECT_EQ(directory.exitCode, kRefused);
  EXPECT_THAT(directory.err, HasSubstr("rm: /done: is a directory"));
  ASSERT_EQ(korvex({"rm", "/done/final.txt"}).exitCode, kOk);
  EXPECT_FALSE(fs::exists(phone("done/final.txt")));
  CliResult again = korvex({"rm", "/done/final.txt"});
  EXPECT_EQ(again.exitCode, kRefused);
  EXPECT_THAT(again.err, HasSubstr("rm: /done/final.txt: no such file or directory"));
}

TEST_F(CommandsTest, ChownChangesTheOwnerOnDisk) {
  writeFile(phone("owned"), "x");
  // Only root may give a file away; others can still set their own ids.
  const bool root = geteuid() == 0;
  const int owner = root ? 4321 : static_cast<int>(geteuid());
  const int group = root ? 8765 : static_cast<int>(getegid());
  CliResult result = korvex({"chown", "/owned", std::to_string(owner), std::to_string(group)});
  ASSERT_EQ(result.exitCode, kOk) << result.all();
  struct stat info {};
  ASSERT_EQ(stat(phone("owned").c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, static_cast<uid_t>(owner));
  EXPECT_EQ(info.st_gid, static_cast<gid_t>(group));

  CliResult missing = korvex({"chown", "/absent", "1", "1"});
  EXPECT_EQ(missing.exitCode, kRefused);
  EXPECT_THAT(missing.err, HasSubstr("chown: /absent: no such file or directory"));
}

TEST_F(CommandsTest, DfPrintsThePhonesFreeSpace) {
  // Human units by default; the phone's raw word (KiB for korvexd) under --json.
  CliResult human = korvex({"df", "/"});
  ASSERT_EQ(human.exitCode, kOk) << human.all();
  EXPECT_THAT(human.out, ::testing::MatchesRegex("/: [0-9]+\\.[0-9] (KiB|MiB|GiB|TiB) free\n"));
  CliResult raw = korvex({"df", "--json", "/"});
  ASSERT_EQ(raw.exitCode, kOk) << raw.all();
  EXPECT_THAT(raw.out, ::testing::MatchesRegex(R"(\{"path":"/","free":[1-9][0-9]*,"unit":"KiB"\}
)"));
  EXPECT_EQ(korvex({"df", "/absent"}).exitCode, kRefused);
}

TEST_F(CommandsTest, PowerCommandsAreSentAndAnswered) {
  for (const char* command : {"restart", "reboot", "shutdown"}) {
    SCOPED_TRACE(command);
    CliResult result = korvex({command});
    EXPECT_EQ(result.exitCode, kOk) << result.all();
    EXPECT_THAT(result.out, HasSubstr("asked " + service().address()));
  }
  // The service only logs them by default, so the client can still log in.
  EXPECT_EQ(korvex({"state"}).exitCode, kOk);
}

class PowerExitsTest : public CliTest {
 protected:
  PowerExitsTest() : CliTest(ServiceProcess::Options{.extraArgs = {"--power-exits"}}) {}
};

TEST_F(PowerExitsTest, ShutdownStopsTheService) {
  CliResult result = korvex({"shutdown"});
  ASSERT_EQ(result.exitCode, kOk) << result.all();
  std::optional<int> status = service().waitExit(std::chrono::seconds(10));
  ASSERT_TRUE(status.has_value()) << "the service still runs";
  EXPECT_EQ(korvex({"state"}).exitCode, kNoConnect);
}

}  // namespace
}  // namespace korvex::test
