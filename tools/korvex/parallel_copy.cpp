#include "parallel_copy.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

#include "local_files.h"
#include "phone.h"
#include "progress.h"

namespace korvex::cli {

namespace {

namespace fs = std::filesystem;

// Whether a download could create or replace `path`.
bool writable(const std::string& path) {
  std::error_code ignored;
  if (fs::is_directory(localPathOf(path), ignored)) return false;
  if (fs::exists(localPathOf(path), ignored)) return writableError(path) == 0;
  const std::string parent = localText(localPathOf(path).parent_path());
  return writableError(parent.empty() ? std::string(".") : parent) == 0;
}

}  // namespace

ParallelCopy::ParallelCopy(const korvex::Session& phone, Direction direction, const TreeCopyOptions& options)
    : phone_(phone),
      direction_(direction),
      options_(options),
      what_(direction == Direction::Get ? "get" : "put"),
      start_(Clock::now()),
      bar_(options.copy.showsBar(), start_) {}

int ParallelCopy::run(Plan& plan) {
  for (Failure& failure : plan.failures) report(std::move(failure));
  makeDirectories(plan.directories);
  files_ = plan.jobs.size() + plan.failures.size();
  totalBytes_ = plan.bytes();
  std::size_t next = 0;
  while (next < plan.jobs.size() || !active_.empty()) {
    if (stopSignal) cancelAll();
    while (static_cast<int>(active_.size()) < options_.jobs && next < plan.jobs.size()) start(plan.jobs[next++]);
    for (std::size_t i = 0; i < active_.size();) {
      if (poll(active_[i])) {
        active_.erase(active_.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
    // Once the session is gone the rest would only fail one by one.
    if (!failures_.empty() && failures_.back().code == kBroken && !phone_.connected()) {
      bar_.clear();
      closeAll();
      throw Failure{kBroken, std::string(what_) + ": the connection to the phone was lost; " +
                                 std::to_string(arrived_) + " of " + std::to_string(files_) + " files arrived"};
    }
    draw();
    if (!active_.empty()) pause();
  }
  draw();
  bar_.finish();
  return finish();
}

void ParallelCopy::report(Failure failure) {
  bar_.clear();
  printMessage(failure.message);
  failures_.push_back(std::move(failure));
}

void ParallelCopy::makeDirectories(const std::vector<std::string>& directories) {
  for (const std::string& directory : directories) {
    if (direction_ == Direction::Get) {
      std::error_code error;
      fs::create_directories(localPathOf(directory), error);
      if (error) report({kLocalFile, "get: " + directory + ": " + error.message()});
    } else if (!yes(phone_.is_directory(directory)) && !phone_.make_directory(directory)) {
      report(refusal(phone_, "put", directory, "the phone refused to create the directory"));
    }
  }
}

void ParallelCopy::start(const Job& job) {
  if (direction_ == Direction::Put && job.size == 0) {
    // An empty upload runs on the session: there is no progress to follow.
    if (phone_.upload(job.from, job.to)) {
      arrived(job);
    } else {
      report(turnedDown(job));
    }
    return;
  }
  korvex::Result<korvex::Transfer> transfer = direction_ == Direction::Get ? phone_.start_download(job.from, job.to)
                                                                           : phone_.start_upload(job.from, job.to);
  if (!transfer) {
    // A path too long for the phone is one it would have refused.
    if (transfer.error() == korvex::Errc::path_too_long) {
      report(turnedDown(job));
    } else {
      report(direction_ == Direction::Put ? Failure{kLocalFile, "put: " + job.from + ": cannot be opened"}
                                          : Failure{kBroken, "get: " + job.from + ": the session is closing"});
    }
    return;
  }
  active_.push_back({&job, std::move(transfer).value(), Clock::now()});
}

// true when the copy has ended, one way or the other.
bool ParallelCopy::poll(Active& active) {
  const korvex::Progress state = active.transfer.progress();
  using Phase = korvex::Progress::Phase;
  if (state.phase == Phase::running) {
    active.moved = state.done;
    return false;
  }
  if (state.phase == Phase::starting) {
    if (secondsSince(active.started) <= options_.copy.startTimeoutSeconds) return false;
    active.transfer.cancel();
    report({kBroken, std::string(what_) + ": " + active.job->from +
                         ": the copy did not start within the start time-out"});
    return true;
  }
  std::error_code ignored;
  const bool done = state.phase == Phase::done;
  if (done) active.moved = state.done;
  // Waits for the copy's thread: a download's file is complete only then.
  active.transfer.cancel();
  if (done) {
    verify(*active.job);
  } else if (active.moved < 0 && direction_ == Direction::Get && !writable(active.job->to)) {
    const bool directory = fs::is_directory(localPathOf(active.job->to), ignored);
    report({kLocalFile, "get: " + active.job->to + ": cannot be written" +
                            (directory ? " (a directory is in the way)" : "")});
  } else if (active.moved < 0) {
    report(turnedDown(*active.job));
  } else {
    report({kBroken, std::string(what_) + ": " + active.job->from + ": the copy broke off after " +
                         std::to_string(active.moved) + " of " + std::to_string(active.job->size) + " bytes"});
  }
  return true;
}

// The phone turned the copy down before any byte moved.
Failure ParallelCopy::turnedDown(const Job& job) const {
  if (direction_ == Direction::Get) return refusal(phone_, "get", job.from, "the phone did not send it whole");
  return refusal(phone_, "put", job.to, "the phone refused to store it");
}

// An upload reported done was confirmed by the phone already.
void ParallelCopy::verify(const Job& job) {
  if (direction_ == Direction::Get) {
    std::error_code error;
    const std::uintmax_t written = fs::file_size(localPathOf(job.to), error);
    if (error || written != static_cast<std::uintmax_t>(job.size)) {
      report({kLocalFile, "get: " + job.to + ": holds " + std::to_string(written) + " bytes, not " +
                              std::to_string(job.size)});
      return;
    }
  }
  arrived(job);
}

void ParallelCopy::arrived(const Job& job) {
  ++arrived_;
  arrivedBytes_ += job.size;
}

// A download that did not end leaves the local file as it was.
void ParallelCopy::closeAll() {
  for (Active& active : active_) active.transfer.cancel();
  active_.clear();
}

void ParallelCopy::cancelAll() {
  const int signal = stopSignal;
  bar_.clear();
  closeAll();
  throw Failure{kSignalBase + signal, std::string(what_) + ": cancelled; " + std::to_string(arrived_) + " of " +
                                          std::to_string(files_) + " files had arrived"};
}

void ParallelCopy::draw() {
  std::int64_t moving = 0;
  std::vector<std::string> current;
  for (const Active& active : active_) {
    moving += std::max<std::int64_t>(active.moved, 0);
    current.push_back(direction_ == Direction::Put ? localName(active.job->from) : korvex::base_name(active.job->from));
  }
  const std::int64_t done = arrivedBytes_ + moving;
  const std::size_t ended = arrived_ + failures_.size();
  bar_.update(done, totalBytes_, [&](double rate, int width) {
    return treeProgressLine({done, totalBytes_, ended, files_, rate}, current, width);
  });
}

int ParallelCopy::finish() {
  const double seconds = secondsSince(start_);
  std::string line = std::string(what_) + ": " + std::to_string(arrived_) + " of " + std::to_string(files_) +
                     (files_ == 1 ? " file, " : " files, ") + formatBytes(arrivedBytes_);
  char timing[64];
  std::snprintf(timing, sizeof timing, " in %.2f s", seconds);
  line += timing;
  if (seconds > 0.0 && arrivedBytes_ > 0) {
    line += " (" + formatBytes(static_cast<std::int64_t>(static_cast<double>(arrivedBytes_) / seconds)) + "/s)";
  }
  std::printf("%s\n", line.c_str());
  if (failures_.empty()) return kOk;
  std::fflush(stdout);
  std::fprintf(stderr, "korvex: %s: %zu of %zu files did not arrive\n", what_, files_ - arrived_, files_);
  return failures_.front().code;
}

}  // namespace korvex::cli
