// A child process for a test or a benchmark, and a watch on a file it
// writes. One implementation per platform (child_process_posix.cpp); nothing
// else in the support library starts or waits for a process.
//
// The child reads an empty standard input, or a file when given one. It is stopped (asked, then
// forced) when the object goes away, and gets SIGTERM should the thread that
// started it end first (a crashed test), so start and destroy it on the same
// thread.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace korvex::test {

class ChildProcess {
 public:
  // Where the child's standard output or error goes.
  struct Output {
    enum Kind { Inherit, Discard, Pipe, File };
    Kind kind = Inherit;
    std::filesystem::path file;  // File: appended to, created when missing
  };
  struct Options {
    std::vector<std::string> argv;  // argv[0]: a path, or a name looked up in PATH
    std::optional<std::vector<std::string>> environment;  // "NAME=value" entries; unset: this process's
    std::filesystem::path input;  // standard input; empty: none
    Output out;
    Output err;
  };

  // Throws std::runtime_error when the child cannot be started; a program
  // that cannot be run ends the child with status 127.
  explicit ChildProcess(const Options& options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  long pid() const { return pid_; }

  // The next line of a piped standard output, without its end; nothing when
  // the output ends first or the time runs out.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);
  // Stops reading standard output, so a child that writes more gets an error.
  void closeOutput();
  // Gathers both piped streams until the child closes them; false when the
  // time runs out first.
  bool collect(std::string& out, std::string& err, std::chrono::milliseconds timeout);

  // Waits for the child to end; its wait status, or nothing at the time-out.
  // Later calls return the status again.
  std::optional<int> waitExit(std::chrono::milliseconds timeout);
  // Asks the child to end (SIGTERM), forces it (SIGKILL) if it has not
  // within `grace`; its wait status.
  int stop(std::chrono::milliseconds grace = std::chrono::seconds(10));
  // Sends a signal, unless the child has been waited for.
  bool signal(int number);

 private:
  long pid_ = -1;
  int exitWatch_ = -1;  // pidfd where the kernel has them
  int out_ = -1;
  int err_ = -1;
  std::optional<int> status_;
};

// Watches a file for writes. Look at the file after creating the watch and
// before each wait: a write in between still ends the next wait.
class FileWatch {
 public:
  explicit FileWatch(const std::filesystem::path& path);
  ~FileWatch();
  FileWatch(const FileWatch&) = delete;
  FileWatch& operator=(const FileWatch&) = delete;

  // True when the file was written to since the last wait; false at the time-out.
  bool wait(std::chrono::milliseconds timeout);

 private:
  int watch_ = -1;
};

}  // namespace korvex::test
