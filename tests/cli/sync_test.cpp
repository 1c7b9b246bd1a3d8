// sync in both directions: what is copied, skipped and deleted over a run of
// changes, the dry run, the JSON summary, a file that cannot be copied, and
// a file where the other side has a directory (or a link or pipe).
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <map>

#include "cli_fixture.h"

namespace korvex::test {
namespace {

using namespace exit_code;
using ::testing::HasSubstr;

// A tree's contents by path below its root; a directory reads as "/".
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string relative = entry.path().lexically_relative(root).generic_string();
    tree[relative] = entry.is_directory() ? "/" : readFile(entry.path());
  }
  return tree;
}

void write(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  writeFile(path, bytes);
}

struct SyncDirection {
  const char* name;
  bool toPhone;
  int conflictCode;  // a file where the other side has a directory, or the reverse
  int uncopiedCode;  // a source file that cannot be copied: a local one of 4 GiB, a phone name no local file takes
};
void PrintTo(const SyncDirection& direction, std::ostream* out) { *out << direction.name; }

class SyncTest : public CliTest, public ::testing::WithParamInterface<SyncDirection> {
 protected:
  bool toPhone() const { return GetParam().toPhone; }
  fs::path source() const { return toPhone() ? local("src") : phone("src"); }
  fs::path dest() const { return toPhone() ? phone("dst") : local("dst"); }
  std::string destArgument() const { return toPhone() ? "phone:/dst" : local("dst").string(); }
  // The destination as the plan names it.
  std::string destPath(const std::string& relative) const {
    return toPhone() ? "/dst/" + relative : (local("dst") / relative).string();
  }
  CliResult sync(std::vector<std::string> flags) {
    std::vector<std::string> args{"sync", toPhone() ? local("src").string() : "phone:/src", destArgument()};
    args.insert(args.end(), flags.begin(), flags.end());
    return korvex(args);
  }
};

TEST_P(SyncTest, RunsCopyWhatIsMissingOrResizedAndDeleteOnlyWhenAsked) {
  const std::string big = randomBytes(300 * 1024 + 5, 3);
  write(source() / "a.txt", "alpha");
  write(source() / "sub/b.txt", "bravo!");
  write(source() / "sub/deep/c.bin", big);
  fs::create_directories(source() / "empty");

  struct Step {
    const char* what;
    std::function<void()> change;
    std::vector<std::string> flags;
    const char* summary;                       // the start of the last line
    std::map<std::string, std::string> extra;  // in the destination beyond the source
  };
  const Step steps[] = {
      {"first run", [] {}, {}, "sync: 3 copied, 0 skipped, 0 deleted, 0 failed, 300.0 KiB in ", {}},
      {"second run", [] {}, {}, "sync: 0 copied, 3 skipped, 0 deleted, 0 failed, 0 B in ", {}},
      {"a resized and a new file; extras stay without --delete",
       [&] {
         write(source() / "a.txt", "alpha, longer");
         write(source() / "sub/new.txt", "new");
         write(dest() / "old.txt", "old");
         write(dest() / "gone/x.txt", "x");
       },
       {},
       "sync: 2 copied, 2 skipped, 0 deleted, 0 failed, 16 B in ",
       {{"old.txt", "old"}, {"gone", "/"}, {"gone/x.txt", "x"}}},
      {"--delete removes the extras, the emptied folder too",
       [] {},
       {"--delete"},
       "sync: 0 copied, 4 skipped, 3 deleted, 0 failed, 0 B in ",
       {}},
      {"-j 1 copies the same",
       [&] { write(source() / "sub/deep/d.txt", "delta"); },
       {"-j", "1"},
       "sync: 1 copied, 4 skipped, 0 deleted, 0 failed, 5 B in ",
       {}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.change();
    const CliResult result = sync(step.flags);
    ASSERT_EQ(result.exitCode, kOk) << result.all();
    EXPECT_EQ(result.err, "");
    ASSERT_FALSE(lines(result.out).empty());
    EXPECT_THAT(lines(result.out).back(), ::testing::StartsWith(step.summary)) << result.out;
    std::map<std::string, std::string> expected = snapshot(source());
    expected.insert(step.extra.begin(), step.extra.end());
    EXPECT_EQ(snapshot(dest()), expected);
  }

  // Sizes alone are compared: a change that keeps the size is not seen.
  write(source() / "a.txt", "ALPHA, LONGER");
  const CliResult same = sync({});
  ASSERT_EQ(same.exitCode, kOk) << same.all();
  EXPECT_THAT(same.out, HasSubstr("sync: 0 copied, 5 skipped,"));
  EXPECT_EQ(readFile(dest() / "a.txt"), "alpha, longer");
}

TEST_P(SyncTest, DryRunPrintsThePlanAndChangesNothing) {
  write(source() / "keep.txt", "same");
  write(source() / "sub/new.txt", "1234567");
  write(source() / "resized.txt", "longer now");
  write(dest() / "keep.txt", "same");
  write(dest() / "resized.txt", "short");
  write(dest() / "extra/old.txt", "old");
  const auto sourceBefore = snapshot(source());
  const auto destBefore = snapshot(dest());

  const CliResult plan = sync({"--dry-run", "--delete"});
  ASSERT_EQ(plan.exitCode, kOk) << plan.all();
  EXPECT_EQ(plan.err, "");
  const std::vector<std::string> expected{
      "copy " + destPath("resized.txt") + " (10 bytes)",
      "copy " + destPath("sub/new.txt") + " (7 bytes)",
      "delete " + destPath("extra/old.txt"),
      "delete " + destPath("extra") + "/",
      "sync: dry run: 2 to copy (17 B), 1 skipped, 2 to delete, 0 failed; nothing changed",
  };
  EXPECT_EQ(lines(plan.out), expected);
  EXPECT_EQ(snapshot(source()), sourceBefore);
  EXPECT_EQ(snapshot(dest()), destBefore);
  EXPECT_FALSE(fs::exists(dest() / "sub"));

  // The same sync for real, its summary as JSON.
  const CliResult json = sync({"--delete", "--json"});
  ASSERT_EQ(json.exitCode, kOk) << json.all();
  EXPECT_EQ(json.out, "{\"copied\":2,\"skipped\":1,\"deleted\":2,\"failed\":0,\"bytes\":17}\n");
  EXPECT_EQ(snapshot(dest()), snapshot(source()));
}

TEST_P(SyncTest, AFileThatCannotBeCopiedKeepsTheRestAndDeletesNothing) {
  write(source() / "a.txt", "alpha");
  write(source() / "c.txt", "charlie");
  if (toPhone()) {
    write(source() / "blocked", "");
    fs::resize_file(source() / "blocked", std::uintmax_t{4} << 30);  // sparse: it takes no space
  } else {
    write(source() / "blocked\x01", "bee");
  }
  write(dest() / "extra.txt", "extra");

  const CliResult result = sync({"--delete"});
  EXPECT_EQ(result.exitCode, GetParam().uncopiedCode) << result.all();
  EXPECT_THAT(result.err, HasSubstr("blocked"));
  EXPECT_THAT(result.err, HasSubstr("nothing deleted"));
  EXPECT_THAT(lines(result.out).back(), ::testing::StartsWith("sync: 2 copied, 0 skipped, 0 deleted, 1 failed, 12 B"))
      << result.out;
  EXPECT_EQ(readFile(dest() / "a.txt"), "alpha");
  EXPECT_EQ(readFile(dest() / "c.txt"), "charlie");
  EXPECT_EQ(readFile(dest() / "extra.txt"), "extra");
  EXPECT_EQ(snapshot(dest()).size(), 3u);

  const CliResult json = sync({"--json"});
  EXPECT_EQ(json.exitCode, GetParam().uncopiedCode);
  EXPECT_EQ(json.out, "{\"copied\":0,\"skipped\":2,\"deleted\":0,\"failed\":1,\"bytes\":0}\n");
}

// A file on one side where the other has a directory: the dry run says
// what the run does. Without --delete each is a failure and neither entry
// is touched; with it the destination's entry is replaced.
TEST_P(SyncTest, KindConflictsArePlannedAsTheyAreRun) {
  write(source() / "a.txt", "alpha");
  write(source() / "f1", "file one");
  write(source() / "d1/x.txt", "x");
  write(dest() / "f1/inside", "inside");
  write(dest() / "d1", "a file");
  const auto sourceBefore = snapshot(source());
  const auto destBefore = snapshot(dest());
  const std::string conflicts = "korvex: sync: " + destPath("d1") +
                                ": a file where the source has a directory (--delete replaces it)\n"
                                "korvex: sync: " + destPath("f1") +
                                ": a directory where the source has a file (--delete replaces it)\n";
  const struct {
    std::vector<std::string> flags;
    int exitCode;
    std::string err;
    std::vector<std::string> out;  // its lines; the last is the start of the summary
  } runs[] = {
      {{"--dry-run"}, GetParam().conflictCode, conflicts,
       {"copy " + destPath("a.txt") + " (5 bytes)",
        "sync: dry run: 1 to copy (5 B), 0 skipped, 0 to delete, 2 failed; nothing changed"}},
      {{}, GetParam().conflictCode, conflicts + "korvex: sync: 2 of 3 files did not arrive\n",
       {"sync: 1 copied, 0 skipped, 0 deleted, 2 failed, 5 B in "}},
      {{"--dry-run", "--delete"}, kOk, "",
       {"delete " + destPath("d1") + " (a directory takes its place)",
        "delete " + destPath("f1") + "/ (a file takes its place)", "copy " + destPath("d1/x.txt") + " (1 bytes)",
        "copy " + destPath("f1") + " (8 bytes)",
        "sync: dry run: 2 to copy (9 B), 1 skipped, 2 to delete, 0 failed; nothing changed"}},
      {{"--delete"}, kOk, "", {"sync: 2 copied, 1 skipped, 2 deleted, 0 failed, 9 B in "}},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(::testing::PrintToString(run.flags));
    const auto before = snapshot(dest());
    const CliResult result = sync(run.flags);
    EXPECT_EQ(result.exitCode, run.exitCode) << result.all();
    EXPECT_EQ(result.err, run.err);
    const std::vector<std::string> said = lines(result.out);
    ASSERT_EQ(said.size(), run.out.size()) << result.out;
    for (std::size_t i = 0; i < said.size(); ++i) EXPECT_THAT(said[i], ::testing::StartsWith(run.out[i]));
    const auto has = [&run](const char* flag) {
      return std::find(run.flags.begin(), run.flags.end(), flag) != run.flags.end();
    };
    if (has("--dry-run")) {
      EXPECT_EQ(snapshot(dest()), before);
    } else if (!has("--delete")) {
      // Neither conflicting entry touched; what does not conflict arrives.
      auto expected = destBefore;
      expected["a.txt"] = "alpha";
      EXPECT_EQ(snapshot(dest()), expected);
    }
  }
  EXPECT_EQ(snapshot(source()), sourceBefore);
  EXPECT_EQ(snapshot(dest()), sourceBefore);
}

INSTANTIATE_TEST_SUITE_P(Directions, SyncTest,
                         ::testing::Values(SyncDirection{"ToPhone", true, kRefused, kLocalFile},
                                           SyncDirection{"FromPhone", false, kLocalFile, kRefused}),
                         [](const auto& info) { return std::string(info.param.name); });

using SyncLocalEntriesTest = CliTest;

// A link to a directory or a pipe in a local destination is no file a copy
// can write over, nor a directory to copy into: as for a kind conflict,
// the dry run and the run both report it, or with --delete both replace it.
TEST_F(SyncLocalEntriesTest, LinksAndPipesArePlannedAsTheyAreRun) {
  write(phone("src/d/in"), "in");
  write(phone("src/p"), "pp");
  fs::create_directories(local("dst/real"));
  write(local("dst/real/keep"), "kept");
  fs::create_directory_symlink("real", local("dst/d"));
  ASSERT_EQ(::mkfifo(local("dst/p").c_str(), 0600), 0);
  const std::string d = local("dst/d").string(), p = local("dst/p").string();
  const std::string conflicts = "korvex: sync: " + d + ": a link, pipe or device where the source has a directory "
                                "(--delete replaces it)\nkorvex: sync: " + p +
                                ": a link, pipe or device where the source has a file (--delete replaces it)\n";
  const struct {
    std::vector<std::string> flags;
    int exitCode;
    std::string err;
    std::vector<std::string> out;  // its lines; the last is the start of the summary
  } runs[] = {
      {{"--dry-run"}, kLocalFile, conflicts, {"sync: dry run: 0 to copy (0 B), 0 skipped, 0 to delete, 2 failed"}},
      {{}, kLocalFile, conflicts + "korvex: sync: 2 of 2 files did not arrive\n",
       {"sync: 0 copied, 0 skipped, 0 deleted, 2 failed"}},
      {{"--dry-run", "--delete"}, kOk, "",
       {"delete " + d + " (a directory takes its place)", "delete " + p + " (a file takes its place)",
        "copy " + d + "/in (2 bytes)", "copy " + p + " (2 bytes)", "delete " + local("dst/real/keep").string(),
        "delete " + local("dst/real").string() + "/",
        "sync: dry run: 2 to copy (4 B), 0 skipped, 4 to delete, 0 failed"}},
      {{"--delete"}, kOk, "", {"sync: 2 copied, 0 skipped, 4 deleted, 0 failed"}},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(::testing::PrintToString(run.flags));
    std::vector<std::string> args{"sync", "phone:/src", local("dst").string()};
    args.insert(args.end(), run.flags.begin(), run.flags.end());
    const CliResult result = korvex(args);
    EXPECT_EQ(result.exitCode, run.exitCode) << result.all();
    EXPECT_EQ(result.err, run.err);
    const std::vector<std::string> said = lines(result.out);
    ASSERT_EQ(said.size(), run.out.size()) << result.out;
    for (std::size_t i = 0; i < said.size(); ++i) EXPECT_THAT(said[i], ::testing::StartsWith(run.out[i]));
  }
  EXPECT_EQ(snapshot(local("dst")), snapshot(phone("src")));
}

using SyncUsageTest = CliTest;

TEST_F(SyncUsageTest, ExactlyOneSideIsThePhoneAndTheSourceMustExist) {
  fs::create_directories(local("here"));
  fs::create_directories(phone("there"));
  write(phone("file"), "f");
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* err;
  };
  const Case cases[] = {
      {{"sync", local("here").string(), local("else").string()}, kUsage, "exactly one of SRC and DST"},
      {{"sync", "phone:/there", "phone:/else"}, kUsage, "exactly one of SRC and DST"},
      {{"sync", "phone:", local("here").string()}, kUsage, "not a usable phone path"},
      {{"sync", "phone:/missing", local("here").string()}, kRefused, "sync: /missing"},
      {{"sync", local("missing").string(), "phone:/there"}, kLocalFile, "missing"},
      {{"sync", local("here").string(), "phone:/file"}, kRefused, "sync: /file: not a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1] + " " + c.args[2]);
    const CliResult result = korvex(c.args);
    EXPECT_EQ(result.exitCode, c.code) << result.all();
    EXPECT_THAT(result.err, HasSubstr(c.err));
    EXPECT_EQ(result.out, "");
  }
  EXPECT_THAT(korvex({"sync", "--help"}).out, HasSubstr("compared by size alone"));
}

}  // namespace
}  // namespace korvex::test
