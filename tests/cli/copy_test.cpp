// get and put end to end: contents, naming, output without a terminal,
// cancelling with Ctrl-C, and a copy that cannot start.
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "cli_fixture.h"

namespace korvex::test {
namespace {

using namespace exit_code;
using ::testing::HasSubstr;
using ::testing::Not;
using Clock = std::chrono::steady_clock;

// Waits until `ready` holds; the copies these tests watch take seconds.
template <typename Predicate>
bool waitFor(Predicate ready, std::chrono::seconds timeout = std::chrono::seconds(20)) {
  const auto deadline = Clock::now() + timeout;
  while (!ready()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A file that reads as 3 GiB of zeros but takes no disk: big enough that a
// copy is still running when the test interrupts it, and past the sizes a
// signed 32-bit word holds.
void makeSparse(const fs::path& path) {
  writeFile(path, "");
  fs::resize_file(path, std::uintmax_t{3} << 30);
}

using CopyTest = CliTest;

TEST_F(CopyTest, PutAndGetRoundTripTheBytes) {
  const std::string content = randomBytes(3 * 1024 * 1024 + 17, 7);
  writeFile(local("video.bin"), content);
  fs::create_directory(phone("media"));

  // A phone directory as destination keeps the local name.
  CliResult put = korvex({"put", local("video.bin"), "/media"});
  ASSERT_EQ(put.exitCode, kOk) << put.all();
  EXPECT_EQ(readFile(phone("media/video.bin")), content);
  // Without a terminal: one plain line at the end, no bar.
  EXPECT_EQ(lines(put.out).size(), 1u) << put.out;
  EXPECT_THAT(put.out, Not(HasSubstr("\r")));
  EXPECT_TRUE(put.out.starts_with("put: " + local("video.bin").string() +
                                  " -> /media/video.bin: 3.0 MiB (3145745 bytes) in "))
      << put.out;
  EXPECT_TRUE(put.out.ends_with("/s)\n")) << put.out;
  EXPECT_EQ(put.err, "");

  CliResult get = korvex({"get", "/media/video.bin", local("copy.bin")});
  ASSERT_EQ(get.exitCode, kOk) << get.all();
  EXPECT_EQ(readFile(local("copy.bin")), content);
  EXPECT_THAT(get.out, HasSubstr("get: /media/video.bin -> " + local("copy.bin").string() + ": 3.0 MiB"));
  EXPECT_EQ(lines(get.out).size(), 1u);

  // A local directory as destination keeps the phone name; an existing file
  // is replaced.
  fs::create_directory(local("inbox"));
  writeFile(local("inbox/video.bin"), "stale and short");
  ASSERT_EQ(korvex({"get", "/media/video.bin", local("inbox")}).exitCode, kOk);
  EXPECT_EQ(readFile(local("inbox/video.bin")), content);
}

TEST_F(CopyTest, EmptyFilesAreCopiedBothWays) {
  writeFile(local("empty"), "");
  CliResult put = korvex({"put", local("empty"), "/empty"});
  ASSERT_EQ(put.exitCode, kOk) << put.all();
  ASSERT_TRUE(fs::exists(phone("empty")));
  EXPECT_EQ(fs::file_size(phone("empty")), 0u);

  CliResult get = korvex({"get", "/empty", local("back")});
  ASSERT_EQ(get.exitCode, kOk) << get.all();
  ASSERT_TRUE(fs::exists(local("back")));
  EXPECT_EQ(fs::file_size(local("back")), 0u);
}

TEST_F(CopyTest, RefusedCopiesNameThePath) {
  writeFile(local("a.txt"), "abc");
  CliResult noDirectory = korvex({"put", local("a.txt"), "/nowhere/a.txt"});
  EXPECT_EQ(noDirectory.exitCode, kRefused) << noDirectory.all();
  EXPECT_THAT(noDirectory.err, HasSubstr("put: /nowhere/a.txt: no such file or directory"));

  fs::create_directory(phone("album"));
  CliResult directory = korvex({"get", "/album", local("album")});
  EXPECT_EQ(directory.exitCode, kRefused) << directory.all();
  EXPECT_THAT(directory.err, HasSubstr("get: /album: is a directory"));
  EXPECT_FALSE(fs::exists(local("album")));
}

TEST_F(CopyTest, ProgressCanBeForcedWithoutATerminal) {
  writeFile(local("p.bin"), randomBytes(256 * 1024, 3));
  CliResult result = korvex({"put", "--progress", "always", local("p.bin"), "/p.bin"});
  ASSERT_EQ(result.exitCode, kOk) << result.all();
  // Redrawn in place with carriage returns, the file named, finished at
  // 100%, then the summary.
  EXPECT_THAT(result.out, HasSubstr("\rp.bin ["));
  EXPECT_THAT(result.out, HasSubstr("100%  256.0 KiB / 256.0 KiB"));
  EXPECT_THAT(lines(result.out).back(), HasSubstr("put: "));
}

TEST_F(CopyTest, CtrlCCancelsADownloadAndLeavesTheLocalFileAsItWas) {
  makeSparse(phone("huge.bin"));
  fs::create_directory(local("new"));
  fs::create_directory(local("old"));
  writeFile(local("old/huge.bin"), "the old file");
  // Into a new name and over an existing file: afterwards the directory
  // holds exactly what it held before.
  for (const char* directory : {"new", "old"}) {
    SCOPED_TRACE(directory);
    const fs::path target = local(directory) / "huge.bin";
    const bool existed = fs::exists(target);
    CliProcess child({"--host", service().address(), "--password", service().password(), "get", "/huge.bin",
                      target.string()});
    ASSERT_TRUE(waitFor([&] { return downloading(local(directory), "huge.bin"); })) << "the download never started";
    ASSERT_EQ(kill(child.pid(), SIGINT), 0);
    CliResult result = child.wait();
    EXPECT_EQ(result.signal, 0) << "killed by a signal instead of exiting";
    EXPECT_EQ(result.exitCode, kInterrupted) << result.all();
    EXPECT_THAT(result.err, HasSubstr("get: /huge.bin: cancelled after "));
    const std::vector<fs::path> left(fs::directory_iterator(local(directory)), fs::directory_iterator());
    EXPECT_EQ(left, existed ? std::vector<fs::path>{target} : std::vector<fs::path>{});
    if (existed) {
      EXPECT_EQ(readFile(target), "the old file");
    }
  }
  // The service is none the worse for it.
  EXPECT_EQ(korvex({"state"}).exitCode, kOk);
}

TEST_F(CopyTest, CtrlCCancelsAnUploadAndThePhoneKeepsNoPartialFile) {
  makeSparse(local("huge.bin"));
  CliProcess child({"--host", service().address(), "--password", service().password(), "put",
                    local("huge.bin").string(), "/huge.bin"});
  // The service writes to a hidden file beside the destination until the end.
  auto uploading = [&] {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(service().root(), error)) {
      if (entry.path().filename().string().starts_with(".") && entry.file_size(error) > 0) return true;
    }
    return false;
  };
  ASSERT_TRUE(waitFor(uploading)) << "the upload never started";
  ASSERT_EQ(kill(child.pid(), SIGINT), 0);
  CliResult result = child.wait();
  EXPECT_EQ(result.signal, 0) << "killed by a signal instead of exiting";
  EXPECT_EQ(result.exitCode, kInterrupted) << result.all();
  EXPECT_THAT(result.err, HasSubstr("put: " + local("huge.bin").string() + ": cancelled after "));
  EXPECT_FALSE(fs::exists(phone("huge.bin")));
  EXPECT_TRUE(waitFor([&] { return fs::is_empty(service().root()); }, std::chrono::seconds(10)))
      << "the broken upload was left on the phone";
}

class StartTimeoutTest : public CliTest {
 protected:
  // The session takes the only connection, so the copy's own is turned away.
  StartTimeoutTest() : CliTest(ServiceProcess::Options{.extraArgs = {"--max-connections", "1"}}) {}
};

TEST_F(StartTimeoutTest, ACopyThatCannotLogInTimesOut) {
  writeFile(local("small.bin"), "small");
  const auto start = Clock::now();
  CliResult result = korvex({"put", "--start-timeout", "0.5", local("small.bin"), "/small.bin"});
  EXPECT_EQ(result.exitCode, kBroken) << result.all();
  EXPECT_THAT(result.err, HasSubstr("put: " + local("small.bin").string() + ": the copy did not start"));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(fs::exists(phone("small.bin")));
}

}  // namespace
}  // namespace korvex::test
