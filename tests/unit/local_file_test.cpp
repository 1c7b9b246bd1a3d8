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
  EXPECT_FALSE(file.open(dir_ + "sub/", VFILE_WRITE | VFILE_CREATE));
  EXPECT_FALSE(file.open(dir_ + "sub\\", VFILE_UPDATE | VFILE_CREATE));
  EXPECT_FALSE(file.isOpen());
  EXPECT_FALSE(std::filesystem::exists(dir_ + "sub"));
  EXPECT_EQ((std::vector<std::string>{"ERR : file name error", "ERR : file name error"}), takeLog());
}

TEST_F(VFileTest, ModeSelectsHowTheFileIsOpened) {
  const std::string path = dir_ + "f.bin";
  VFile file;

  // No usable mode bit.
  EXPECT_FALSE(file.open(path, 0));
  EXPECT_FALSE(file.open(path, VFILE_CREATE));
  EXPECT_FALSE(file.open(path, 0x100 | VFILE_CREATE));
  EXPECT_EQ(std::vector<std::string>(3, "ERR : File open mode error"), takeLog());

  // Missing file without CREATE.
  EXPECT_FALSE(file.open(path, VFILE_READ));
  EXPECT_FALSE(file.open(path, VFILE_UPDATE));
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(std::vector<std::string>(2, "ERR : File " + path + " open error"), takeLog());

  // NO_OPEN wins over every other bit and touches nothing.
  EXPECT_TRUE(file.open(path, VFILE_NO_OPEN | VFILE_WRITE));
  EXPECT_FALSE(file.isOpen());
  EXPECT_FALSE(std::filesystem::exists(path));

  // CREATE makes a missing file for READ and for UPDATE, and keeps an existing one.
  ASSERT_TRUE(file.open(path, VFILE_READ | VFILE_CREATE));
  EXPECT_EQ(0, file.size());
  ASSERT_TRUE(file.open(dir_ + "u.bin", VFILE_UPDATE | VFILE_CREATE));
  EXPECT_TRUE(std::filesystem::exists(dir_ + "u.bin"));
  put(path, "abcdef");
  ASSERT_TRUE(file.open(path, VFILE_READ | VFILE_CREATE));
  EXPECT_EQ(6, file.size());

  // READ beats WRITE: the file is neither truncated nor writable.
  ASSERT_TRUE(file.open(path, VFILE_READ | VFILE_WRITE));
  file.write("zz", 2);
  file.close();
  EXPECT_EQ("abcdef", slurp(path));

  // UPDATE writes in place; it beats APPEND.
  ASSERT_TRUE(file.open(path, VFILE_UPDATE | VFILE_APPEND));
  EXPECT_EQ(2, file.write("XY", 2));
  file.close();
  EXPECT_EQ("XYcdef", slurp(path));

  // APPEND adds at the end even after a seek.
  ASSERT_TRUE(file.open(path, VFILE_APPEND));
  EXPECT_TRUE(file.seek(0, SEEK_SET));
  EXPECT_EQ(1, file.write("!", 1));
  file.close();
  EXPECT_EQ("XYcdef!", slurp(path));

  // WRITE truncates; it beats UPDATE.
  ASSERT_TRUE(file.open(path, VFILE_WRITE | VFILE_UPDATE));
  EXPECT_EQ(0, file.size());
  EXPECT_EQ(2, file.write("hi", 2));
  EXPECT_TRUE(file.flush());
  EXPECT_FALSE(file.failed());
  file.close();
  EXPECT_EQ("hi", slurp(path));
  EXPECT_TRUE(takeLog().empty());
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
