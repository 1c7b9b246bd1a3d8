// Runs a plan: up to N background copies at once under one progress line. A
// file that fails is reported and the rest goes on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "copy_plan.h"
#include "copy_support.h"
#include "korvex.hpp"
#include "progress_bar.h"

namespace korvex::cli {

enum class Direction { Get, Put };

class ParallelCopy {
 public:
  ParallelCopy(const korvex::Session& phone, Direction direction, const TreeCopyOptions& options);

  // The exit code: that of the first failure, or kOk when every file arrived.
  // Throws a Failure when cancelled or when the session's connection is lost.
  int run(Plan& plan);

 private:
  struct Active {
    const Job* job;
    korvex::Transfer transfer;
    Clock::time_point started;
    std::int64_t moved = -1;  // -1 until the copy runs
  };

  void report(Failure failure);
  void makeDirectories(const std::vector<std::string>& directories);
  void start(const Job& job);
  bool poll(Active& active);
  Failure turnedDown(const Job& job) const;
  void verify(const Job& job);
  void arrived(const Job& job);
  void closeAll();
  [[noreturn]] void cancelAll();
  void draw();
  int finish();

  const korvex::Session& phone_;
  Direction direction_;
  const TreeCopyOptions& options_;
  const char* what_;
  Clock::time_point start_;
  ProgressBar bar_;
  std::vector<Active> active_;
  std::vector<Failure> failures_;
  std::size_t files_ = 0, arrived_ = 0;
  std::int64_t totalBytes_ = 0, arrivedBytes_ = 0;
};

}  // namespace korvex::cli
