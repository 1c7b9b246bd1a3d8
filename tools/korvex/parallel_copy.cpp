#include "parallel_copy.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <utility>

#include "local_files.h"
#include "phone.h"
#include "progress.h"
#include "text.h"

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

// Connect and login on the C level: the pool hands its handles between
// threads, and only one of them may end each.
SessionHandle connectTo(const Login& login, int& error) {
  error = 0;
  return Connect(login.address.c_str(), login.password.c_str(), &error);
}

}  // namespace

ParallelCopy::ParallelCopy(const korvex::Session& phone, Login login, Direction direction,
                           const TreeCopyOptions& options)
    : phone_(phone),
      login_(std::move(login)),
      direction_(direction),
      options_(options),
      what_(options.command ? options.command : direction == Direction::Get ? "get" : "put"),
      start_(Clock::now()),
      bar_(options.copy.showsBar(), start_) {}

ParallelCopy::~ParallelCopy() { stopWorkers(true); }

int ParallelCopy::run(Plan& plan) {
  for (Failure& failure : plan.failures) report(std::move(failure));
  makeDirectories(plan.directories);
  files_ = plan.jobs.size() + plan.failures.size();
  totalBytes_ = plan.bytes();
  draw();
  if (!plan.jobs.empty()) {
    openPool(std::min(plan.jobs.size(), static_cast<std::size_t>(std::max(options_.jobs, 1))));
    // Counted before any starts: a quick worker may end at once.
    running_ = static_cast<std::size_t>(
        std::count_if(workers_.begin(), workers_.end(), [](const Worker& w) { return w.handle != nullptr; }));
    for (Worker& worker : workers_) {
      if (worker.handle != nullptr) threads_.emplace_back([this, &worker, &plan] { work(worker, plan.jobs); });
    }
  }
  while (running_ > 0) {
    draw();
    pause();
    takeReports();
    if (stopSignal) {
      const int signal = stopSignal;
      stopWorkers(true);
      bar_.clear();
      throw Failure{kSignalBase + signal, std::string(what_) + ": cancelled; " + std::to_string(arrived_) + " of " +
                                              std::to_string(files_) + " files had arrived"};
    }
    bool gone = false;
    {
      const std::lock_guard<std::mutex> guard(lock_);
      gone = phoneGone_;
    }
    // Once the phone cannot be reached the rest would only fail one by one.
    if (gone) {
      stopWorkers(true);
      takeReports();
      bar_.clear();
      throw Failure{kBroken, std::string(what_) + ": the connection to the phone was lost; " +
                                 std::to_string(arrived_) + " of " + std::to_string(files_) + " files arrived"};
    }
  }
  stopWorkers(false);
  takeReports();
  draw();
  bar_.finish();
  return finish();
}

void ParallelCopy::report(Failure failure) {
  bar_.clear();
  printMessage(failure.message);
  failures_.push_back(std::move(failure));
}

// What the workers found, printed by the main thread alone.
void ParallelCopy::takeReports() {
  std::vector<Failure> found;
  std::vector<std::string> arrived;
  {
    const std::lock_guard<std::mutex> guard(lock_);
    found.swap(pending_);
    arrived.swap(arrivals_);
  }
  if (!arrived.empty()) bar_.clear();
  for (const std::string& line : arrived) std::printf("%s\n", shown(line).c_str());
  for (Failure& failure : found) report(std::move(failure));
}

// A phone folder is asked about only when making it was refused: a fresh
// tree costs one round trip a folder.
void ParallelCopy::makeDirectories(const std::vector<std::string>& directories) {
  for (const std::string& directory : directories) {
    if (direction_ == Direction::Get) {
      std::error_code error;
      fs::create_directories(localPathOf(directory), error);
      if (error) report({kLocalFile, std::string(what_) + ": " + directory + ": " + error.message()});
    } else if (!phone_.make_directory(directory) && !yes(phone_.is_directory(directory))) {
      report(refusal(phone_, what_, directory, "the phone refused to create the directory"));
    }
  }
}

// Every session logs in at once, so the pool costs one login's time. A
// worker left without a session sits out; with no session at all the copy
// cannot start.
void ParallelCopy::openPool(std::size_t size) {
  workers_.resize(size);
  std::vector<int> errors(size, 0);
  std::vector<std::thread> logins;
  for (std::size_t i = 0; i < size; ++i) {
    logins.emplace_back([this, &errors, i] { workers_[i].handle = connectTo(login_, errors[i]); });
  }
  for (std::thread& login : logins) login.join();
  const bool any = std::any_of(workers_.begin(), workers_.end(), [](const Worker& w) { return w.handle != nullptr; });
  if (any) return;
  bar_.clear();
  if (errors.front() == 2) {
    throw Failure{kLoginRefused, std::string(what_) + ": login to " + login_.address + " refused for the copies"};
  }
  throw Failure{kNoConnect, std::string(what_) + ": cannot connect to " + login_.address + " for the copies"};
}

void ParallelCopy::work(Worker& worker, const std::vector<Job>& jobs) {
  while (!stopping_) {
    std::size_t first = 0;
    const std::size_t count = claim(jobs, first);
    if (count == 0) break;
    if (!ensureSession(worker)) {
      for (std::size_t i = first; i < first + count; ++i) {
        Failure failure{kBroken, std::string(what_) + ": " + jobs[i].from + ": the connection to the phone was lost"};
        ended(jobs[i], &failure);
      }
      break;
    }
    copy(worker, jobs, first, count);
  }
  --running_;
}

// The next jobs for a worker: one download, or a run of uploads that go back
// to back on its session (each confirmation travels with the next request).
// A run stops at kRunFiles files or kRunBytes bytes, and takes only a share
// of what is left, so that the workers end together.
std::size_t ParallelCopy::claim(const std::vector<Job>& jobs, std::size_t& first) {
  constexpr std::size_t kRunFiles = 16;
  constexpr std::int64_t kRunBytes = 4 * 1024 * 1024;
  std::size_t at = next_.load();
  std::size_t count = 0;
  do {
    if (at >= jobs.size()) return 0;
    const std::size_t share = (jobs.size() - at) / (2 * workers_.size());
    const std::size_t most = direction_ == Direction::Put ? std::clamp<std::size_t>(share, 1, kRunFiles) : 1;
    std::int64_t bytes = jobs[at].size;
    count = 1;
    while (count < most && at + count < jobs.size() && bytes + jobs[at + count].size <= kRunBytes) {
      bytes += jobs[at + count].size;
      ++count;
    }
  } while (!next_.compare_exchange_weak(at, at + count));
  first = at;
  return count;
}

// A worker whose copy failed logs in again, once, for its next copy; when
// that fails the phone is taken as gone.
bool ParallelCopy::ensureSession(Worker& worker) {
  {
    const std::lock_guard<std::mutex> guard(lock_);
    if (worker.handle != nullptr) return true;
  }
  int error = 0;
  SessionHandle handle = connectTo(login_, error);
  const std::lock_guard<std::mutex> guard(lock_);
  if (handle == nullptr) phoneGone_ = true;
  if (stopping_ && handle != nullptr) {
    Disconnect(handle);
    return false;
  }
  worker.handle = handle;
  return handle != nullptr;
}

void ParallelCopy::copy(Worker& worker, const std::vector<Job>& jobs, std::size_t first, std::size_t count) {
  SessionHandle handle = nullptr;
  {
    const std::lock_guard<std::mutex> guard(lock_);
    if (stopping_) return;
    handle = worker.handle;
    worker.busy = true;
    worker.job = &jobs[first];
  }
  std::vector<int> done(count, 0);
  if (direction_ == Direction::Get) {
    // A path too long for the phone is one it would have refused.
    const Job& job = jobs[first];
    done[0] = job.from.size() <= korvex::kMaxPath && DownFromPhone(handle, job.from.c_str(), job.to.c_str());
  } else {
    // The library fails a path too long for the phone before sending it.
    std::vector<const char*> locals, remotes;
    for (std::size_t i = first; i < first + count; ++i) {
      locals.push_back(jobs[i].from.c_str());
      remotes.push_back(jobs[i].to.c_str());
    }
    UploadFiles(handle, locals.data(), remotes.data(), static_cast<int>(count), done.data());
  }
  {
    const std::lock_guard<std::mutex> guard(lock_);
    worker.busy = false;
    worker.job = nullptr;
    if (worker.handle == nullptr) return;  // cancelled: the session was ended under the copy
  }
  const korvex::Session session = korvex::Session::borrow(handle, login_.address);
  bool anyFailed = false;
  for (std::size_t i = 0; i < count; ++i) anyFailed |= !settle(session, jobs[first + i], done[i] != 0);
  if (!anyFailed) return;
  // A copy that failed may leave its exchange half done on the connection:
  // the next copy logs in anew.
  {
    const std::lock_guard<std::mutex> guard(lock_);
    worker.handle = nullptr;
  }
  Disconnect(handle);
}

// Counts a copy that returned: arrived, or failed with the reason asked on
// the session that ran it. false when it failed.
bool ParallelCopy::settle(const korvex::Session& session, const Job& job, bool done) {
  if (done && direction_ == Direction::Get) {
    std::error_code error;
    const std::uintmax_t written = fs::file_size(localPathOf(job.to), error);
    if (error || written != static_cast<std::uintmax_t>(job.size)) {
      Failure failure{kLocalFile, std::string(what_) + ": " + job.to + ": holds " + std::to_string(written) +
                                      " bytes, not " + std::to_string(job.size)};
      ended(job, &failure);
      return false;
    }
  }
  if (done) {
    ended(job, nullptr);
    return true;
  }
  Failure failure = failed(session, job);
  // A connection the phone closed mid-copy may show only on the question
  // that asked why.
  if (failure.code != kLocalFile && !session.connected()) {
    failure = {kBroken, std::string(what_) + ": " + job.from + ": the copy broke off: the connection was lost"};
  }
  ended(job, &failure);
  return false;
}

// Why a copy that returned false failed, asked on the worker's session.
Failure ParallelCopy::failed(const korvex::Session& session, const Job& job) const {
  // The local cause first: a download whose file cannot be written drops
  // its connection (the bytes are on their way), so a lost connection may
  // be its effect.
  if (direction_ == Direction::Get && !writable(job.to)) {
    std::error_code ignored;
    const bool directory = fs::is_directory(localPathOf(job.to), ignored);
    return {kLocalFile, std::string(what_) + ": " + job.to + ": cannot be written" +
                            (directory ? " (a directory is in the way)" : "")};
  }
  if (direction_ == Direction::Put && readableError(job.from) != 0) {
    return {kLocalFile, std::string(what_) + ": " + job.from + ": cannot be opened"};
  }
  if (!session.connected()) {
    return {kBroken, std::string(what_) + ": " + job.from + ": the copy broke off: the connection was lost"};
  }
  if (direction_ == Direction::Get) return refusal(session, what_, job.from, "the phone did not send it whole");
  return refusal(session, what_, job.to, "the phone refused to store it");
}

void ParallelCopy::ended(const Job& job, Failure* failure) {
  const std::lock_guard<std::mutex> guard(lock_);
  if (failure != nullptr) {
    pending_.push_back(std::move(*failure));
  } else {
    ++arrived_;
    arrivedBytes_ += job.size;
    if (options_.copy.verbose) arrivals_.push_back(std::string(what_) + ": " + job.from + " -> " + job.to);
  }
}

// Stops the workers taking jobs; with `endCopies`, the copies in flight end
// too, their sessions disconnected under them (a download's destination stays
// as it was). Then every session ends.
void ParallelCopy::stopWorkers(bool endCopies) {
  stopping_ = true;
  std::vector<SessionHandle> inFlight;
  if (endCopies) {
    const std::lock_guard<std::mutex> guard(lock_);
    for (Worker& worker : workers_) {
      if (worker.busy && worker.handle != nullptr) inFlight.push_back(std::exchange(worker.handle, nullptr));
    }
  }
  // Disconnect wakes the blocked copy and waits for it to return.
  for (SessionHandle handle : inFlight) Disconnect(handle);
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
  threads_.clear();
  for (Worker& worker : workers_) {
    if (worker.handle != nullptr) Disconnect(std::exchange(worker.handle, nullptr));
  }
}

void ParallelCopy::draw() {
  std::vector<std::string> current;
  std::int64_t done = 0;
  std::size_t ended = 0;
  {
    const std::lock_guard<std::mutex> guard(lock_);
    for (const Worker& worker : workers_) {
      if (worker.job == nullptr) continue;
      const std::string& from = worker.job->from;
      current.push_back(direction_ == Direction::Put ? localName(from) : korvex::base_name(from));
    }
    done = arrivedBytes_;
    ended = arrived_ + failures_.size() + pending_.size();
  }
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
  if (!options_.summary) {
    // The caller prints its own.
  } else if (options_.copy.json) {
    std::printf("%s\n", copySummaryJson(files_, arrived_, arrivedBytes_, seconds).c_str());
  } else if (!options_.copy.quiet) {
    std::printf("%s\n", line.c_str());
  }
  if (failures_.empty()) return kOk;
  std::fflush(stdout);
  std::fprintf(stderr, "korvex: %s: %zu of %zu files did not arrive\n", what_, files_ - arrived_, files_);
  return failures_.front().code;
}

}  // namespace korvex::cli
