#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "runtime/log.h"
#include "temp_dir.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace korvex {
namespace {

// The ids as the system reports them, not as the library's platform layer does.
#if defined(_WIN32)
int systemProcessId() { return static_cast<int>(GetCurrentProcessId()); }
int systemThreadId() { return static_cast<int>(GetCurrentThreadId()); }
#else
int systemProcessId() { return static_cast<int>(::getpid()); }
int systemThreadId() { return static_cast<int>(::syscall(SYS_gettid)); }
#endif

const char* const kLabels[] = {"EMRG", "ALRT", "CRIT", "ERR ", "WARN", "NOTC", "INFO", "DBUG", "DSTK"};

// The parts of one "[MM-DD HH:MM:SS.mmm] LABL: [pid-tid]message" line.
struct Line {
  std::string stamp, label;
  int pid = 0, tid = 0;
  std::string message;
};

// Digits at `at`, advancing it; false when there are none.
bool number(const std::string& text, std::size_t& at, int& value) {
  const std::size_t start = at;
  while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
  if (at == start) return false;
  value = std::stoi(text.substr(start, at - start));
  return true;
}

std::optional<Line> parse(const std::string& text) {
  const std::string shape = "[dd-dd dd:dd:dd.ddd] LABL: [";
  if (text.size() < shape.size()) return std::nullopt;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i >= 21 && i < 25) continue;  // the label, checked below
    const bool ok = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(text[i])) != 0 : text[i] == shape[i];
    if (!ok) return std::nullopt;
  }
  Line line;
  line.stamp = text.substr(1, 14);
  line.label = text.substr(21, 4);
  if (std::find(std::begin(kLabels), std::end(kLabels), line.label) == std::end(kLabels)) return std::nullopt;
  std::size_t at = shape.size();
  if (!number(text, at, line.pid) || at >= text.size() || text[at++] != '-') return std::nullopt;
  if (!number(text, at, line.tid) || at >= text.size() || text[at++] != ']') return std::nullopt;
  line.message = text.substr(at);
  return line;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> readLines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(readFile(path));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();  // a Windows text file
    lines.push_back(line);
  }
  return lines;
}

// Message parts of the lines that have the exact layout; any other line fails.
std::vector<std::string> messages(const std::string& path) {
  std::vector<std::string> out;
  for (const std::string& line : readLines(path)) {
    const std::optional<Line> parsed = parse(line);
    EXPECT_TRUE(parsed) << '"' << line << '"';
    out.push_back(parsed ? parsed->label + "|" + parsed->message : line);
  }
  return out;
}

std::string stampNow() {
  // The writer's clock; time() may trail it by a tick.
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  tm local{};
#if defined(_WIN32)
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%m-%d %H:%M:%S", &local);
  return text;
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = temp_.path().string() + "/";
    path_ = dir_ + "a.log";
  }
  void TearDown() override {
    enableLog(false, DEBUG, nullptr);
  }

  test::TempDir temp_{"log_test"};
  std::string dir_;
  std::string path_;
};

TEST(LogInitialState, DisabledInFreshProcess) {
  // A re-executed child starts with the library's own initial state.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::testing::internal::CaptureStderr();
        const bool wouldWrite = logWouldWrite(EMERG);
        logPrint(EMERG, "must not appear");
        std::_Exit(!wouldWrite && ::testing::internal::GetCapturedStderr().empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(LogTest, LineLayoutLabelsAndIds) {
  const std::string before = stampNow();
  ASSERT_EQ(1, enableLog(true, DEBUG_STACK, path_.c_str()));
  for (int level = EMERG; level <= DEBUG_STACK; ++level) logPrint(level, "level %d", level);
  logPrint(NOTICE, "ends in newline\n");
  int otherTid = 0;
  std::thread([&] {
    otherTid = systemThreadId();
    logPrint(ERR, "from another thread");
  }).join();
  const std::string after = stampNow();

  const std::vector<std::string> lines = readLines(path_);
  ASSERT_EQ(13u, lines.size());
  const int pid = systemProcessId();
  const int tid = systemThreadId();
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i == 11) {
      EXPECT_EQ("", lines[i]);  // the writer's own newline after one in the message
      continue;
    }
    const std::optional<Line> line = parse(lines[i]);
    ASSERT_TRUE(line) << '"' << lines[i] << '"';
    EXPECT_LE(before, line->stamp);
    EXPECT_GE(after, line->stamp);
    EXPECT_EQ(pid, line->pid);
    EXPECT_EQ(i == 12 ? otherTid : tid, line->tid) << lines[i];
    texts.push_back(line->label + "|" + line->message);
  }
  EXPECT_EQ("INFO|Opened new log file - " + path_, texts[0]);
  for (int level = EMERG; level <= DEBUG_STACK; ++level)
    EXPECT_EQ(std::string(kLabels[level]) + "|level " + std::to_string(level), texts[level + 1]);
  EXPECT_EQ("NOTC|ends in newline", texts[10]);
  EXPECT_EQ("ERR |from another thread", texts[11]);
  EXPECT_NE(std::string::npos, readFile(path_).find("] ERR : ["));
}

TEST_F(LogTest, ThresholdFollowsLevelArgument) {
  auto logAll = [] {
    for (int level = EMERG; level <= DEBUG_STACK; ++level) logPrint(level, "%d", level);
  };
  // Below INFO even the opening line is dropped.
  ASSERT_EQ(1, enableLog(true, CRIT, path_.c_str()));
  logAll();
  EXPECT_EQ((std::vector<std::string>{"EMRG|0", "ALRT|1", "CRIT|2"}), messages(path_));
  EXPECT_TRUE(logWouldWrite(CRIT));
  EXPECT_FALSE(logWouldWrite(ERR));

  // Out-of-range levels, including a negative one passed as unsigned, mean DEBUG.
  for (const unsigned level : {9u, static_cast<unsigned>(-1)}) {
    enableLog(false, DEBUG, nullptr);  // Windows removes no open file
    ASSERT_EQ(0, std::remove(path_.c_str()));
    ASSERT_EQ(1, enableLog(true, level, path_.c_str()));
    logAll();
    const std::vector<std::string> got = messages(path_);
    ASSERT_EQ(9u, got.size()) << level;
    EXPECT_EQ("INFO|Opened new log file - " + path_, got[0]);
    EXPECT_EQ("DBUG|7", got.back());
  }

  // Without a path only the threshold changes; lines keep going to the file.
  enableLog(false, DEBUG, nullptr);
  ASSERT_EQ(0, std::remove(path_.c_str()));
  ASSERT_EQ(1, enableLog(true, INFO, path_.c_str()));
  EXPECT_EQ(0, enableLog(true, DEBUG_STACK, nullptr));
  logPrint(DEBUG_STACK, "deep");
  EXPECT_EQ((std::vector<std::string>{"INFO|Opened new log file - " + path_, "DSTK|deep"}), messages(path_));
}

TEST_F(LogTest, OpeningAppendsToExistingFile) {
  std::ofstream(path_) << "kept line\n";
  ASSERT_EQ(1, enableLog(true, INFO, path_.c_str()));
  logPrint(WARNING, "first");
  ASSERT_EQ(1, enableLog(true, INFO, path_.c_str()));
  logPrint(WARNING, "second");
  const std::vector<std::string> lines = readLines(path_);
  ASSERT_EQ(5u, lines.size());
  EXPECT_EQ("kept line", lines[0]);
  EXPECT_NE(std::string::npos, lines[2].find("WARN: [")) << lines[2];
  EXPECT_NE(std::string::npos, lines[4].find("]second")) << lines[4];
}

TEST_F(LogTest, DisablingStopsOutputAndClosesFile) {
  ASSERT_EQ(1, enableLog(true, DEBUG, path_.c_str()));
  logPrint(ERR, "while enabled");
  const std::string written = readFile(path_);

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(0, enableLog(false, DEBUG_STACK, path_.c_str()));
  EXPECT_FALSE(logWouldWrite(EMERG));
  logPrint(EMERG, "while disabled");
  EXPECT_EQ("", ::testing::internal::GetCapturedStderr());
  EXPECT_EQ(written, readFile(path_));

  // Re-enabling without a path must not reach the closed file again.
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(0, enableLog(true, ERR, nullptr));
  EXPECT_TRUE(logWouldWrite(ERR));
  logPrint(ERR, "to stderr");
  logPrint(WARNING, "above threshold");
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("] ERR : [")) << err;
  EXPECT_NE(std::string::npos, err.find("]to stderr\n")) << err;
  EXPECT_EQ(std::string::npos, err.find("above threshold")) << err;
  EXPECT_EQ(written, readFile(path_));
}

TEST_F(LogTest, PathOf256CharsIsRefused) {
  ASSERT_EQ(1, enableLog(true, INFO, path_.c_str()));
  const std::string longest = dir_ + std::string(255 - dir_.size(), 'n');
  const std::string tooLong = dir_ + std::string(256 - dir_.size(), 'n');
  ASSERT_EQ(255u, longest.size());

  EXPECT_EQ(0, enableLog(true, INFO, tooLong.c_str()));
  EXPECT_FALSE(std::filesystem::exists(tooLong));
  logPrint(ERR, "still in the first file");
  EXPECT_EQ("ERR |still in the first file", messages(path_).back());

  EXPECT_EQ(1, enableLog(true, INFO, longest.c_str()));
  EXPECT_EQ((std::vector<std::string>{"INFO|Opened new log file - " + longest}), messages(longest));
}

TEST_F(LogTest, UnopenablePathReportsOnStdoutAndFallsBackToStderr) {
  ASSERT_EQ(1, enableLog(true, INFO, path_.c_str()));
  const std::string bad = dir_ + "missing/x.log";
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(0, enableLog(true, INFO, bad.c_str()));
  const std::string out = ::testing::internal::GetCapturedStdout();
  logPrint(ERR, "after failure");
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ("cpLog: Cannot open log file " + bad + ":  No such file or directory\n", out);
  EXPECT_NE(std::string::npos, err.find("]after failure\n")) << err;
  EXPECT_EQ(1u, messages(path_).size());
}

TEST_F(LogTest, ConcurrentWritersProduceWholeLines) {
  ASSERT_EQ(1, enableLog(true, INFO, path_.c_str()));
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  const std::string padding(200, 'p');
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) logPrint(NOTICE, "t%d %d %s", t, i, padding.c_str());
    });
  }
  for (std::thread& w : writers) w.join();

  std::vector<int> next(kThreads, 0);
  const std::vector<std::string> got = messages(path_);
  ASSERT_EQ(1u + kThreads * kLines, got.size());
  for (std::size_t i = 1; i < got.size(); ++i) {
    int t = -1, n = -1;
    char tail[256] = {};
    ASSERT_EQ(3, std::sscanf(got[i].c_str(), "NOTC|t%d %d %255s", &t, &n, tail)) << got[i];
    ASSERT_TRUE(t >= 0 && t < kThreads) << got[i];
    EXPECT_EQ(next[t]++, n);
    EXPECT_EQ(padding, tail);
  }
}

// Writers that passed the enabled check just before disabling must not
// write once enableLog(false) has returned.
TEST_F(LogTest, NoLineEscapesAfterDisableReturns) {
  constexpr int kThreads = 4;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  ::testing::internal::CaptureStderr();
  for (int round = 0; round < 8; ++round) {
    ASSERT_EQ(1, enableLog(true, INFO, path_.c_str()));
    std::atomic<bool> disabled{false};
    std::atomic<bool> stop{false};
    std::atomic<int> lateCalls{0};
    std::vector<std::atomic<int>> calls(kThreads);
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&, t] {
        while (!stop.load()) {
          const bool late = disabled.load();
          logPrint(ERR, "racing line");
          (late ? lateCalls : calls[t]).fetch_add(1);
        }
      });
    }
    // Disable only once every writer is contending for the log.
    auto allBusy = [&] {
      for (const auto& c : calls)
        if (c.load() < 200) return false;
      return true;
    };
    while (!allBusy() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    enableLog(false, INFO, nullptr);
    const std::size_t sizeAtDisable = readFile(path_).size();
    disabled.store(true);
    while (lateCalls.load() < 1000 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    stop.store(true);
    for (std::thread& w : writers) w.join();
    EXPECT_EQ(sizeAtDisable, readFile(path_).size());
  }
  EXPECT_EQ("", ::testing::internal::GetCapturedStderr());
}

}  // namespace
}  // namespace korvex
