// Listings with types and sizes, JSON for scripts, mkdir -p, whole trees
// and several files copied at once, and sizes between 2 and 4 GiB (sparse
// files: they take no disk).
#include <signal.h>

#include <thread>

#include "cli_fixture.h"

namespace korvex::test {
namespace {

using namespace exit_code;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

void makeSparse(const fs::path& path, std::uintmax_t size) {
  writeFile(path, "");
  fs::resize_file(path, size);
}

// Every regular file below `root`, by relative path, with its bytes.
std::map<std::string, std::string> treeOf(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files[fs::relative(entry.path(), root).generic_string()] = readFile(entry.path());
  }
  return files;
}

using TreeTest = CliTest;

TEST_F(TreeTest, ListingsShowTypesSizesAndJson) {
  fs::create_directories(phone("photos/2024"));
  writeFile(phone("photos/a \"q\".jpg"), "abc");
  writeFile(phone("photos/2024/b.jpg"), std::string(5000, 'b'));
  makeSparse(phone("two.bin"), std::uintmax_t{1} << 31);  // the first size a signed word cannot hold
  makeSparse(phone("big.bin"), std::uintmax_t{3} << 30);

  const std::string q = "a \\\"q\\\".jpg";  // as JSON writes the name
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> out;
  };
  const Case cases[] = {
      {{"ls", "/"}, {"photos/", "big.bin", "two.bin"}},
      {{"ls"}, {"photos/", "big.bin", "two.bin"}},  // the root, as ls lists the current directory
      {{"ls", "/photos/2024/.."}, {"2024/", "a \"q\".jpg"}},   // ".." taken out as a shell would
      {{"ls", "photos/./2024/../../"}, {"photos/", "big.bin", "two.bin"}},
      {{"ls", "-a", "/"}, {"photos/", "big.bin", "two.bin"}},
      {{"ls", "-l", "/"}, {"d            -  photos", "-   3221225472  big.bin", "-   2147483648  two.bin"}},
      {{"ls", "-R", "/photos"}, {"2024/", "2024/b.jpg", "a \"q\".jpg"}},
      {{"ls", "-lRD", "/"}, {"d            -  photos", "d            -  photos/2024"}},
      {{"ls", "--json", "/photos"},
       {R"([{"name":"2024","type":"directory"},{"name":")" + q + R"(","type":"file","size":3}])"}},
      {{"ls", "-R", "--json", "-f", "/photos"},
       {R"([{"name":"2024/b.jpg","type":"file","size":5000},{"name":")" + q + R"(","type":"file","size":3}])"}},
      {{"tree", "/"},
       {"/", "\u251c\u2500\u2500 photos/", "\u2502   \u251c\u2500\u2500 2024/", "\u2502   \u2502   \u2514\u2500\u2500 b.jpg",
        "\u2502   \u2514\u2500\u2500 a \"q\".jpg", "\u251c\u2500\u2500 big.bin", "\u2514\u2500\u2500 two.bin", "",
        "2 directories, 4 files"}},
      {{"stat", "/big.bin"}, {"path: /big.bin", "exists: yes", "type: file", "size: 3221225472"}},
      {{"stat", "--json", "/two.bin"}, {R"({"path":"/two.bin","exists":true,"type":"file","size":2147483648})"}},
      {{"stat", "--json", "/photos"}, {R"({"path":"/photos","exists":true,"type":"directory"})"}},
      {{"state", "--json"},
       {R"({"connected":true,"address":")" + service().address() + R"(","device":")" + service().deviceName() +
        R"("})"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    CliResult result = korvex(c.args);
    EXPECT_EQ(result.exitCode, kOk) << result.all();
    EXPECT_EQ(lines(result.out), c.out);
    EXPECT_EQ(result.err, "");
  }

  // A missing path still answers in JSON, with the refusal's exit code.
  CliResult missing = korvex({"stat", "--json", "/none"});
  EXPECT_EQ(missing.exitCode, kRefused);
  EXPECT_EQ(missing.out, "{\"path\":\"/none\",\"exists\":false}\n");
}

TEST_F(TreeTest, MkdirParentsAndSeveralPaths) {
  writeFile(phone("file"), "x");
  fs::create_directory(phone("have"));
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string err;
  };
  const Case cases[] = {
      {{"-p", "/have/a/b/c"}, kOk, ""},
      {{"-p", "/have/a/b/c"}, kOk, ""},  // already there: no error
      {{"-p", "/have"}, kOk, ""},
      {{"-p", "/file/sub"}, kRefused, "mkdir: /file: not a directory"},
      {{"-p", "new/rel"}, kOk, ""},
      // Each in turn, a parent before its child; a failure does not stop the rest.
      {{"/one", "/one/two", "/none/x", "/three"}, kRefused, "mkdir: /none/x: no such file or directory (use -p)"},
      {{"-p", "/p/q", "/r/s"}, kOk, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    std::vector<std::string> args{"mkdir"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CliResult result = korvex(args);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.all();
    EXPECT_THAT(result.err, HasSubstr(c.err));
  }
  for (const char* made : {"have/a/b/c", "new/rel", "one/two", "three", "p/q", "r/s"}) {
    EXPECT_TRUE(fs::is_directory(phone(made))) << made;
  }
  EXPECT_FALSE(fs::exists(phone("file/sub")));
  EXPECT_FALSE(fs::exists(phone("none")));
}

TEST_F(TreeTest, TreesGoUpAndComeBackWhole) {
  fs::create_directories(local("album/2024/summer"));
  fs::create_directories(local("album/empty-dir"));
  for (int i = 0; i < 7; ++i) writeFile(local("album/f" + std::to_string(i)), randomBytes(40000 * i + 1, i));
  writeFile(local("album/2024/summer/deep.bin"), randomBytes(300000, 9));
  writeFile(local("album/2024/zero"), "");
  const auto sent = treeOf(local("album"));

  // Into an existing phone directory the tree keeps its name.
  fs::create_directory(phone("backup"));
  CliResult put = korvex({"put", "-r", "-j", "3", local("album"), "/backup"});
  ASSERT_EQ(put.exitCode, kOk) << put.all();
  EXPECT_EQ(treeOf(phone("backup/album")), sent);
  EXPECT_TRUE(fs::is_directory(phone("backup/album/empty-dir")));
  EXPECT_EQ(lines(put.out).size(), 1u) << put.out;  // no terminal: one summary line
  EXPECT_THAT(put.out, HasSubstr("put: 9 of 9 files, "));

  // To a new local name the tree becomes that directory.
  CliResult get = korvex({"get", "-r", "/backup/album", local("restored")});
  ASSERT_EQ(get.exitCode, kOk) << get.all();
  EXPECT_EQ(treeOf(local("restored")), sent);
  EXPECT_TRUE(fs::is_directory(local("restored/empty-dir")));

  // The phone's root has no name: its contents land in the directory itself.
  fs::create_directory(local("whole"));
  CliResult root = korvex({"get", "-r", "/", local("whole")});
  ASSERT_EQ(root.exitCode, kOk) << root.all();
  EXPECT_EQ(treeOf(local("whole")), treeOf(service().root()));

  // Several sources into a directory, files and a tree mixed.
  fs::create_directory(phone("mixed"));
  CliResult several = korvex({"put", "-r", local("album/f1"), local("album/f2"), local("album/2024"), "/mixed/"});
  ASSERT_EQ(several.exitCode, kOk) << several.all();
  EXPECT_EQ(readFile(phone("mixed/f2")), sent.at("f2"));
  EXPECT_EQ(readFile(phone("mixed/2024/summer/deep.bin")), sent.at("2024/summer/deep.bin"));
  fs::create_directory(local("picked"));
  CliResult picked = korvex({"get", "/mixed/f1", "/mixed/f2", local("picked")});
  ASSERT_EQ(picked.exitCode, kOk) << picked.all();
  EXPECT_EQ(treeOf(local("picked")), (std::map<std::string, std::string>{{"f1", sent.at("f1")}, {"f2", sent.at("f2")}}));
}

TEST_F(TreeTest, OneFailedFileIsReportedAndTheRestArrives) {
  fs::create_directories(phone("src/sub"));
  writeFile(phone("src/a"), "aaa");
  writeFile(phone("src/sub/b"), "bbb");
  writeFile(phone("src/c"), "ccc");
  // Where the download of /src/c should go, a directory is in the way.
  fs::create_directories(local("dst/src/c"));
  CliResult get = korvex({"get", "-r", "/src", local("dst")});
  EXPECT_EQ(get.exitCode, kLocalFile) << get.all();
  EXPECT_THAT(get.err, HasSubstr("dst/src/c: Is a directory"));
  EXPECT_THAT(get.err, HasSubstr("1 of 3 files did not arrive"));
  EXPECT_EQ(readFile(local("dst/src/a")), "aaa");
  EXPECT_EQ(readFile(local("dst/src/sub/b")), "bbb");

  // Uploads: the phone refuses one (a directory stands at its name).
  fs::create_directories(local("up"));
  writeFile(local("up/x"), "x");
  writeFile(local("up/y"), "y");
  fs::create_directories(phone("target/up/y"));
  CliResult put = korvex({"put", "-r", local("up"), "/target"});
  EXPECT_EQ(put.exitCode, kRefused) << put.all();
  EXPECT_THAT(put.err, HasSubstr("put: /target/up/y: "));
  EXPECT_EQ(readFile(phone("target/up/x")), "x");

  // On one session the uploads go back to back in runs: the refused one in
  // the middle of a run fails alone.
  fs::create_directories(local("run"));
  for (int i = 0; i < 10; ++i) writeFile(local("run/f" + std::to_string(i)), std::string(100 + i, 'r'));
  fs::create_directories(phone("target/run/f2"));
  CliResult run = korvex({"put", "-r", "-j", "1", local("run"), "/target"});
  EXPECT_EQ(run.exitCode, kRefused) << run.all();
  EXPECT_THAT(run.err, HasSubstr("put: /target/run/f2: "));
  EXPECT_THAT(run.err, HasSubstr("1 of 10 files did not arrive"));
  for (int i = 0; i < 10; ++i) {
    if (i == 2) continue;
    EXPECT_EQ(readFile(phone("target/run/f" + std::to_string(i))), std::string(100 + i, 'r')) << i;
  }

  // A directory without -r, and several sources without a directory.
  CliResult noRecursion = korvex({"get", "/src", local("whatever")});
  EXPECT_EQ(noRecursion.exitCode, kRefused);
  EXPECT_THAT(noRecursion.err, HasSubstr("is a directory (use -r)"));
  CliResult notDirectory = korvex({"put", local("up/x"), local("up/y"), "/src/a"});
  EXPECT_EQ(notDirectory.exitCode, kRefused);
  EXPECT_THAT(notDirectory.err, HasSubstr("not a phone directory"));
}

// One session or a pool: the same tree arrives either way, both ways, and so
// do several single files. The tree is several folders deep and wide, with
// the same names at different depths: on a pool a folder's subfolders are
// listed side by side, and put makes the folders of one depth side by side.
TEST_F(TreeTest, TreesAreTheSameOnOneSessionAndOnMany) {
  fs::create_directories(local("src/empty"));
  fs::create_directories(local("src/d1/a/empty"));
  std::vector<std::string> names;
  for (int d = 0; d < 3; ++d) {
    for (int f = 0; f < 6; ++f) names.push_back("src/d" + std::to_string(d) + "/f" + std::to_string(f));
  }
  for (const char* deep : {"src/d0/a/b/c/leaf", "src/d1/a/leaf", "src/d2/d2/d2/leaf", "src/d2/d2/d2/d2/leaf"}) {
    names.push_back(deep);
  }
  for (std::size_t n = 0; n < names.size(); ++n) {
    fs::create_directories(local(names[n]).parent_path());
    writeFile(local(names[n]), randomBytes(7919 * n, static_cast<unsigned>(n)));
  }
  const auto sent = treeOf(local("src"));
  const std::string count = " of " + std::to_string(names.size()) + " files, ";
  for (const char* jobs : {"1", "3", "16"}) {
    SCOPED_TRACE(jobs);
    const std::string up = std::string("up") + jobs, down = std::string("down") + jobs;
    struct Case {
      std::vector<std::string> args;
      fs::path root;
    };
    const Case cases[] = {
        {{"put", "-r", "-j", jobs, local("src").string(), "/" + up}, phone(up)},
        {{"get", "-r", "-j", jobs, "/" + up, local(down).string()}, local(down)},
    };
    for (const Case& c : cases) {
      CliResult result = korvex(c.args);
      ASSERT_EQ(result.exitCode, kOk) << result.all();
      EXPECT_THAT(result.out, HasSubstr(count)) << result.out;
      EXPECT_EQ(treeOf(c.root), sent);
    }
    for (const char* empty : {"/empty", "/d1/a/empty"}) {
      EXPECT_TRUE(fs::is_directory(phone(up + empty))) << empty;
      EXPECT_TRUE(fs::is_directory(local(down + empty))) << empty;
    }

    const std::string many = std::string("many") + jobs;
    fs::create_directories(local(many));
    CliResult several = korvex({"get", "-j", jobs, "/" + up + "/d0/f1", "/" + up + "/d2/f5", local(many).string()});
    ASSERT_EQ(several.exitCode, kOk) << several.all();
    EXPECT_EQ(readFile(local(many + "/f1")), sent.at("d0/f1"));
    EXPECT_EQ(readFile(local(many + "/f5")), sent.at("d2/f5"));
  }
}

TEST_F(TreeTest, SizesUpTo4GiBMinus3AreCopiedAndTheLastTwoRefused) {
  // 4 GiB - 1 and - 2 read like the library's "not started" and "failed".
  makeSparse(phone("edge1.bin"), 0xFFFFFFFFu);
  makeSparse(phone("edge2.bin"), 0xFFFFFFFEu);
  CliResult edge1 = korvex({"get", "/edge1.bin", local("edge1.bin")});
  EXPECT_EQ(edge1.exitCode, kRefused) << edge1.all();
  CliResult edge2 = korvex({"get", "/edge2.bin", local("edge2.bin")});
  EXPECT_EQ(edge2.exitCode, kRefused) << edge2.all();
  EXPECT_THAT(edge2.err, HasSubstr("too large"));
  EXPECT_FALSE(fs::exists(local("edge2.bin")));

  // 3 GiB: followed with its true size, stopped once bytes flow; nothing
  // of it is left.
  fs::create_directory(phone("big"));
  makeSparse(phone("big/huge.bin"), std::uintmax_t{3} << 30);
  writeFile(phone("big/small"), "s");
  CliProcess child({"--host", service().address(), "--password", service().password(), "get", "-r", "--progress",
                    "always", "/big", local("out").string()});
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!downloading(local("out"), "huge.bin")) {
    ASSERT_LT(Clock::now(), deadline) << "the download never started";
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(kill(child.pid(), SIGINT), 0);
  CliResult result = child.wait();
  EXPECT_EQ(result.exitCode, kInterrupted) << result.all();
  EXPECT_THAT(result.out, HasSubstr(" / 3.0 GiB  "));
  EXPECT_THAT(result.err, HasSubstr("get: cancelled"));
  auto left = treeOf(local("out"));  // the small file may have arrived first
  left.erase("small");
  EXPECT_EQ(left, (std::map<std::string, std::string>{}));
}

}  // namespace
}  // namespace korvex::test
