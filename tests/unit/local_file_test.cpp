#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/local_file.h"
#include "runtime/log.h"
#include "temp_dir.h"

namespace korvex {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void put(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// Each case runs in its own directory with the log going to a file there, so
// the messages the file layer logs can be checked.
class VFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = temp_.path().generic_string() + "/";  // the separator the file layer writes
    logPath_ = dir_ + "test.log";
    ASSERT_EQ(1, enableLog(true, ERR, logPath_.c_str()));
  }
  void TearDown() override {
    enableLog(false, DEBUG, nullptr);
  }

  // Messages logged since the last call, without their prefixes.
  std::vector<std::string> takeLog() {
    std::vector<std::string> out;
    std::istringstream in(slurp(logPath_).substr(logSeen_));
    logSeen_ = slurp(logPath_).size();
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();  // a Windows text file
      const std::size_t end = line.find(']', line.find("] ") + 2);
      out.push_back(line.substr(line.find("] ") + 2, 6) + line.substr(end + 1));
    }
    return out;
  }

  test::TempDir temp_{"vfile_test"};
  std::string dir_;
  std::string logPath_;
  std::size_t logSeen_ = 0;
};

TEST_F(VFileTest, PathIsSplitIntoDirectoryAndName) {
  VFile file;
  EXPECT_TRUE(file.open("a\\b\\c.bin", VFILE_NO_OPEN));
  EXPECT_EQ("a/b/", file.directory());
  EXPECT_EQ("c.bin", file.fileName());
  EXPECT_FALSE(file.isOpen());

  EXPECT_TRUE(file.open("plain.txt", VFILE_NO_OPEN));
  EXPECT_EQ("./", file.directory());
  EXPECT_EQ("plain.txt", file.fileName());

  EXPECT_TRUE(file.open("/top", VFILE_NO_OPEN));
  EXPECT_EQ("/", file.directory());
  EXPECT_EQ("top", file.fileName());

  // Backslashes work as separators for a real open too.
  std::string windowsStyle = dir_ + "w.bin";
  windowsStyle.replace(windowsStyle.rfind('/'), 1, "\\");
  ASSERT_TRUE(file.open(windowsStyle, VFILE_WRITE));
  EXPECT_EQ(dir_ + "w.bin", file.fullName());
  file.close();
  EXPECT_TRUE(std::filesystem::exists(dir_ + "w.bin"));
  EXPECT_TRUE(takeLog().empty());
}

TEST_F(VFileTest, MissingFileNameIsRefused) {
  VFile file;
  EXPECT_FALSE(file.open(dir_ + "sub/", VFILE_WRITE));
  EXPECT_FALSE(file.open(dir_ + "sub\\", VFILE_READ));
  EXPECT_FALSE(file.isOpen());
  EXPECT_FALSE(std::filesystem::exists(dir_ + "sub"));
  EXPECT_EQ((std::vector<std::string>{"ERR : file name error", "ERR : file name error"}), takeLog());
}

TEST_F(VFileTest, ModeSelectsHowTheFileIsOpened) {
  const std::string path = dir_ + "f.bin";
  const std::string modeError = "ERR : File open mode error";
  const std::string openError = "ERR : File " + path + " open error";
  struct Case {
    const char* name;
    int mode;
    bool exists;        // the file holds "abcdef" before the open
    bool opens;         // what open returns
    const char* after;  // the file once "hi" was written to it; null: no file
    std::vector<std::string> log;
  };
  const Case cases[] = {
      {"no mode bit", 0, false, false, nullptr, {modeError}},
      {"bits above the modes count for nothing", 0x100, true, false, "abcdef", {modeError}},
      {"DIRECT alone is no mode", VFILE_DIRECT, false, false, nullptr, {modeError}},
      {"READ needs the file", VFILE_READ, false, false, nullptr, {openError}},
      {"NO_OPEN wins over every other bit and touches nothing", VFILE_NO_OPEN | VFILE_WRITE, false, true, nullptr, {}},
      {"READ beats WRITE: neither emptied nor written", VFILE_READ | VFILE_WRITE, true, true, "abcdef", {}},
      {"WRITE empties a file", VFILE_WRITE, true, true, "hi", {}},
      {"WRITE creates a file", VFILE_WRITE | VFILE_DIRECT, false, true, "hi", {}},
      {"NEW refuses a file that exists, without a log line", VFILE_WRITE | VFILE_NEW, true, false, "abcdef", {}},
      {"NEW creates a file", VFILE_WRITE | VFILE_NEW, false, true, "hi", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(path);
    if (c.exists) put(path, "abcdef");
    VFile file;
    EXPECT_EQ(c.opens, file.open(path, c.mode));
    if (file.isOpen()) file.write("hi", 2);
    file.close();
    if (c.after) {
      EXPECT_EQ(c.after, slurp(path));
    } else {
      EXPECT_FALSE(std::filesystem::exists(path));
    }
    EXPECT_EQ(c.log, takeLog());
  }
}

TEST_F(VFileTest, ReadFullyStopsOnlyAtEndOfFile) {
  std::string content(3100, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 256);
  const std::string path = dir_ + "data.bin";
  put(path, content);

  VFile file;
  ASSERT_TRUE(file.open(path, VFILE_READ));
  std::vector<char> buffer(1500);
  std::string back;
  ASSERT_EQ(1500, file.readFully(buffer.data(), 1500));
  back.append(buffer.data(), 1500);
  // size() leaves the position where it was.
  EXPECT_EQ(3100, file.size());
  EXPECT_EQ(1500, file.tell());
  ASSERT_EQ(1500, file.readFully(buffer.data(), 1500));
  back.append(buffer.data(), 1500);
  ASSERT_EQ(100, file.readFully(buffer.data(), 1500));
  back.append(buffer.data(), 100);
  EXPECT_EQ(0, file.readFully(buffer.data(), 1500));
  EXPECT_EQ(content, back);
  EXPECT_FALSE(file.failed());
}

TEST_F(VFileTest, OpeningAnotherPathClosesTheFirst) {
  const std::string first = dir_ + "first.bin";
  VFile file;
  ASSERT_TRUE(file.open(first, VFILE_WRITE));
  ASSERT_EQ(5, file.write("hello", 5));
  // Still in the stream buffer until the first file is closed.
  ASSERT_TRUE(file.open(dir_ + "second.bin", VFILE_WRITE));
  EXPECT_EQ("hello", slurp(first));
  EXPECT_EQ(dir_ + "second.bin", file.fullName());
  EXPECT_EQ(0, file.size());
}

}  // namespace
}  // namespace korvex
