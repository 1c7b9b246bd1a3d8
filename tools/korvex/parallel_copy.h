// Runs a plan on a pool of N logged-in sessions (korvex::SessionPool), one
// worker thread each, every file a synchronous copy on its worker's
// session, under one progress line. A file that fails is reported and the
// rest goes on.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "copy_plan.h"
#include "copy_support.h"
#include "korvex.hpp"
#include "progress_bar.h"

namespace korvex::cli {

enum class Direction { Get, Put };

// Where the pool's sessions log in.
struct Login {
  std::string address, password;
};

class ParallelCopy {
 public:
  // `phone` creates the directories; the copies run on sessions of their own.
  ParallelCopy(const korvex::Session& phone, Login login, Direction direction, const TreeCopyOptions& options);
  ~ParallelCopy();
  ParallelCopy(const ParallelCopy&) = delete;
  ParallelCopy& operator=(const ParallelCopy&) = delete;

  // What the plan starts early: once a tree is to be copied, `logins`
  // sessions log in on a thread of their own while the plan is made; a
  // phone tree's subdirectories are listed side by side on them (each one a
  // pool session could not list, on `phone`). run() waits for the logins.
  PlanAhead ahead(std::size_t logins);

  // The exit code: that of the first failure, or kOk when every file arrived.
  // Throws a Failure when cancelled or when the phone cannot be reached.
  int run(Plan& plan);

  // What a finished run did: failures include the plan's.
  struct Tally {
    std::size_t arrived = 0, failed = 0;
    std::int64_t bytes = 0;
  };
  Tally tally() const { return {arrived_, failures_.size(), arrivedBytes_}; }

 private:
  // What one worker is copying, for the progress line.
  struct Worker {
    const Job* job = nullptr;
  };

  // A folder that could not be made, and why.
  struct Unmade {
    std::string path;
    Failure failure;
  };

  void report(Failure failure);
  std::vector<Unmade> makeDirectories(const std::vector<std::string>& directories);
  // Takes the jobs below an unmade folder out of `jobs`, reports each
  // folder once, and returns how many files it took out.
  std::size_t skipUnmade(std::vector<Unmade> unmade, std::vector<Job>& jobs);
  void startLogins(std::size_t count);
  void awaitLogins();
  korvex::TreeLister lister();
  void openPool(std::size_t size);
  // Runs `step(session, i)` for i in [0, count) on up to as many pool
  // sessions side by side; the indexes no pool session took are left false.
  std::vector<bool> onPool(std::size_t count, const std::function<bool(const korvex::Session&, std::size_t)>& step);
  bool makeDirectory(const korvex::Session& session, const std::string& directory, Failure& failure);
  void work(Worker& worker, const std::vector<Job>& jobs);
  std::size_t claim(const std::vector<Job>& jobs, std::size_t& first);
  // false when the session was lost and should be logged in anew.
  bool copy(const korvex::Session& session, Worker& worker, const std::vector<Job>& jobs, std::size_t first,
            std::size_t count);
  void settle(const Job& job, const korvex::Status& status);
  void ended(const Job& job, Failure* failure);
  void takeReports();
  void stopWorkers(bool endCopies);
  void draw();
  int finish();

  const korvex::Session& phone_;
  Login login_;
  korvex::SessionPool pool_;
  Direction direction_;
  const TreeCopyOptions& options_;
  const char* what_;
  Clock::time_point start_;
  ProgressBar bar_;
  std::vector<Worker> workers_;
  std::vector<std::thread> threads_;
  std::thread logins_;
  korvex::Result<std::size_t> loggedIn_ = korvex::Errc::connect_failed;
  bool loginsStarted_ = false;
  std::atomic<std::size_t> running_{0};
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> stopping_{false};
  bool phoneGone_ = false;  // a worker could not log in again
  bool localFull_ = false;  // a download found no room on the local disk

  std::mutex lock_;  // guards the workers' jobs, and what follows
  std::vector<Failure> pending_;  // failures the workers found, for the main thread to print
  std::vector<std::string> arrivals_;  // with -v, "get: FROM -> TO" for each file that arrived, to print
  std::vector<Failure> failures_;
  std::size_t files_ = 0, arrived_ = 0;
  std::int64_t totalBytes_ = 0, arrivedBytes_ = 0;
};

}  // namespace korvex::cli
