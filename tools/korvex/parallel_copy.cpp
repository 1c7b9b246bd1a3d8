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

// Whether `path` lies below the directory `top`; a local path on Windows
// may be split by either separator.
bool lies(const std::string& path, const std::string& top) {
  if (path.size() <= top.size() || !path.starts_with(top)) return false;
  const char next = path[top.size()];
  return next == '/' || next == static_cast<char>(fs::path::preferred_separator);
}

bool liesBelowAny(const std::string& path, const std::vector<std::string>& tops) {
  return std::any_of(tops.begin(), tops.end(), [&](const std::string& top) { return lies(path, top); });
}

}  // namespace

ParallelCopy::ParallelCopy(const korvex::Session& phone, Login login, Direction direction,
                           const TreeCopyOptions& options)
    : phone_(phone),
      login_(std::move(login)),
      pool_(login_.address, login_.password),
      direction_(direction),
      options_(options),
      what_(options.command ? options.command : direction == Direction::Get ? "get" : "put"),
      start_(Clock::now()),
      bar_(options.copy.showsBar(), start_) {}

ParallelCopy::~ParallelCopy() {
  stopWorkers(true);
  if (logins_.joinable()) logins_.join();
}

PlanAhead ParallelCopy::ahead(std::size_t logins) {
  return {[this, logins] { startLogins(logins); }, lister()};
}

void ParallelCopy::startLogins(std::size_t count) {
  if (loginsStarted_ || count == 0) return;
  loginsStarted_ = true;
  logins_ = std::thread([this, count] { loggedIn_ = pool_.prepare(count); });
}

void ParallelCopy::awaitLogins() {
  if (logins_.joinable()) logins_.join();
}

korvex::TreeLister ParallelCopy::lister() {
  return [this](const std::vector<std::string>& paths) {
    std::vector<korvex::Result<std::vector<korvex::TreeName>>> listed(paths.size(), korvex::Errc::connection_lost);
    const std::vector<bool> done = onPool(paths.size(), [&](const korvex::Session& session, std::size_t i) {
      listed[i] = korvex::tree_names(session, paths[i]);
      // A pool session that lost its phone leaves the listing to `phone`,
      // which tells why.
      return listed[i] || listed[i].error() != korvex::Errc::connection_lost;
    });
    for (std::size_t i = 0; i < paths.size(); ++i) {
      if (!done[i]) listed[i] = korvex::tree_names(phone_, paths[i]);
    }
    return listed;
  };
}

// Several small steps at once, each on a pool session: over a link they
// cost one round trip together instead of one each.
std::vector<bool> ParallelCopy::onPool(std::size_t count,
                                       const std::function<bool(const korvex::Session&, std::size_t)>& step) {
  std::vector<char> done(count, 0);
  awaitLogins();
  const std::size_t sessions = loggedIn_ ? std::min(count, *loggedIn_) : 0;
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < sessions; ++t) {
    threads.emplace_back([&] {
      korvex::Result<korvex::SessionPool::Lease> lease = pool_.acquire();
      if (!lease) return;
      for (std::size_t i = next++; i < count; i = next++) {
        done[i] = step(*lease.value(), i) ? 1 : 0;
        if (!lease.value()->connected()) return;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  return {done.begin(), done.end()};
}

int ParallelCopy::run(Plan& plan) {
  for (Failure& failure : plan.failures) report(std::move(failure));
  awaitLogins();
  const std::size_t skipped = skipUnmade(makeDirectories(plan.directories), plan.jobs);
  files_ = plan.jobs.size() + plan.failures.size() + skipped;
  totalBytes_ = plan.bytes();
  draw();
  if (!plan.jobs.empty()) {
    openPool(std::min(plan.jobs.size(), static_cast<std::size_t>(std::max(options_.jobs, 1))));
    // Counted before any starts: a quick worker may end at once.
    running_ = workers_.size();
    for (Worker& worker : workers_) threads_.emplace_back([this, &worker, &plan] { work(worker, plan.jobs); });
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
    bool gone = false, full = false;
    {
      const std::lock_guard<std::mutex> guard(lock_);
      gone = phoneGone_;
      full = localFull_;
    }
    // Once the phone cannot be reached the rest would only fail one by one.
    if (gone) {
      stopWorkers(true);
      takeReports();
      bar_.clear();
      throw Failure{kBroken, std::string(what_) + ": the connection to the phone was lost; " +
                                 std::to_string(arrived_) + " of " + std::to_string(files_) + " files arrived"};
    }
    // So too once the local disk is full: the user has to make room first.
    if (full) {
      stopWorkers(true);
      takeReports();
      bar_.clear();
      throw Failure{kLocalFile, std::string(what_) + ": the local disk is full; " + std::to_string(arrived_) +
                                    " of " + std::to_string(files_) + " files arrived"};
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
// tree costs one round trip a depth, the folders of one depth made side by
// side on the pool's sessions (parents come before their children). Those
// below a folder that could not be made are not tried.
std::vector<ParallelCopy::Unmade> ParallelCopy::makeDirectories(const std::vector<std::string>& directories) {
  std::vector<Unmade> unmade;
  std::vector<std::string> unmadePaths;
  const auto refused = [&](const std::string& directory, Failure failure) {
    unmade.push_back({directory, std::move(failure)});
    unmadePaths.push_back(directory);
  };
  if (direction_ == Direction::Get) {
    for (const std::string& directory : directories) {
      if (liesBelowAny(directory, unmadePaths)) continue;
      std::error_code error;
      fs::create_directories(localPathOf(directory), error);
      if (error) refused(directory, {kLocalFile, std::string(what_) + ": " + directory + ": " + error.message()});
    }
    return unmade;
  }
  const auto depth = [](const std::string& path) { return std::count(path.begin(), path.end(), '/'); };
  std::vector<std::string> ordered(directories);
  std::stable_sort(ordered.begin(), ordered.end(),
                   [&](const std::string& a, const std::string& b) { return depth(a) < depth(b); });
  std::size_t first = 0;
  while (first < ordered.size()) {
    std::size_t end = first;
    while (end < ordered.size() && depth(ordered[end]) == depth(ordered[first])) ++end;
    std::vector<std::string> level;
    for (std::size_t i = first; i < end; ++i) {
      if (!liesBelowAny(ordered[i], unmadePaths)) level.push_back(ordered[i]);
    }
    std::vector<Failure> failures(level.size());
    std::vector<char> failed(level.size(), 0);
    const std::vector<bool> done = onPool(level.size(), [&](const korvex::Session& session, std::size_t i) {
      failed[i] = makeDirectory(session, level[i], failures[i]) ? 0 : 1;
      return session.connected();
    });
    for (std::size_t i = 0; i < done.size(); ++i) {
      if (!done[i]) failed[i] = makeDirectory(phone_, level[i], failures[i]) ? 0 : 1;
      if (failed[i]) refused(level[i], std::move(failures[i]));
    }
    first = end;
  }
  return unmade;
}

// The files below a folder that could not be made would each fail for the
// same reason: they are not tried, and the folder's one line counts them.
std::size_t ParallelCopy::skipUnmade(std::vector<Unmade> unmade, std::vector<Job>& jobs) {
  std::vector<std::size_t> below(unmade.size(), 0);
  std::vector<Job> kept;
  for (Job& job : jobs) {
    std::size_t i = 0;
    while (i < unmade.size() && !lies(job.to, unmade[i].path)) ++i;
    if (i == unmade.size()) {
      kept.push_back(std::move(job));
    } else {
      ++below[i];
    }
  }
  jobs = std::move(kept);
  std::size_t skipped = 0;
  for (std::size_t i = 0; i < unmade.size(); ++i) {
    Failure failure = std::move(unmade[i].failure);
    if (below[i] > 0) {
      failure.message += "; " + std::to_string(below[i]) + (below[i] == 1 ? " file" : " files") + " below it skipped";
    }
    for (std::size_t k = 0; k < below[i]; ++k) failures_.push_back(failure);
    report(std::move(failure));
    skipped += below[i];
  }
  return skipped;
}

// false, with the failure, when the phone refused the folder.
bool ParallelCopy::makeDirectory(const korvex::Session& session, const std::string& directory, Failure& failure) {
  const korvex::Status made = session.make_directory(directory);
  if (made || yes(session.is_directory(directory))) return true;
  // "Already there" is the answer for a file of that name too.
  failure = made.error() == korvex::Errc::already_exists
                ? Failure{kRefused, std::string(what_) + ": " + directory + ": not a directory"}
                : asFailure(what_, directory, made.reason(), "the phone refused to create the directory");
  return false;
}

// Every session logs in at once, so the pool costs one login's time; a
// worker for each that did. With no session at all the copy cannot start.
void ParallelCopy::openPool(std::size_t size) {
  const korvex::Result<std::size_t> ready = loginsStarted_ ? loggedIn_ : pool_.prepare(size);
  if (ready) {
    workers_.resize(*ready);
    return;
  }
  bar_.clear();
  if (ready.error() == korvex::Errc::login_failed) {
    throw Failure{kLoginRefused, std::string(what_) + ": login to " + login_.address + " refused for the copies"};
  }
  throw Failure{kNoConnect, std::string(what_) + ": cannot connect to " + login_.address + " for the copies"};
}

// A worker keeps one session from the pool; after a copy that lost it, the
// next copy logs in anew, once: when that fails the phone is taken as gone.
void ParallelCopy::work(Worker& worker, const std::vector<Job>& jobs) {
  korvex::Result<korvex::SessionPool::Lease> lease = korvex::Errc::connection_lost;
  while (!stopping_) {
    std::size_t first = 0;
    const std::size_t count = claim(jobs, first);
    if (count == 0) break;
    if (!lease) lease = pool_.acquire();
    if (!lease) {
      if (!stopping_) {
        const std::lock_guard<std::mutex> guard(lock_);
        phoneGone_ = true;
      }
      for (std::size_t i = first; i < first + count; ++i) settle(jobs[i], korvex::Errc::connection_lost);
      break;
    }
    if (!copy(*lease.value(), worker, jobs, first, count)) lease = korvex::Errc::connection_lost;
  }
  --running_;
}

// The next jobs for a worker: a run of copies that go back to back on its
// session (a download's requests pipelined, an upload's confirmation
// travelling with the next request), so a run costs about one round trip
// plus its bytes. A run stops at kRunFiles files or kRunBytes bytes, and
// takes only a share of what is left, so that the workers end together.
std::size_t ParallelCopy::claim(const std::vector<Job>& jobs, std::size_t& first) {
  constexpr std::size_t kRunFiles = 16;
  constexpr std::int64_t kRunBytes = 4 * 1024 * 1024;
  std::size_t at = next_.load();
  std::size_t count = 0;
  do {
    if (at >= jobs.size()) return 0;
    const std::size_t share = (jobs.size() - at) / (2 * workers_.size());
    const std::size_t most = std::clamp<std::size_t>(share, 1, kRunFiles);
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

bool ParallelCopy::copy(const korvex::Session& session, Worker& worker, const std::vector<Job>& jobs,
                        std::size_t first, std::size_t count) {
  {
    const std::lock_guard<std::mutex> guard(lock_);
    if (stopping_) return true;
    worker.job = &jobs[first];
  }
  std::vector<korvex::Status> outcome;
  if (direction_ == Direction::Get) {
    std::vector<std::pair<std::string, korvex::LocalPath>> files;
    for (std::size_t i = first; i < first + count; ++i) files.emplace_back(jobs[i].from, korvex::LocalPath(jobs[i].to));
    outcome = session.download_files(files);
  } else {
    std::vector<std::pair<korvex::LocalPath, std::string>> files;
    for (std::size_t i = first; i < first + count; ++i) files.emplace_back(korvex::LocalPath(jobs[i].from), jobs[i].to);
    outcome = session.upload_files(files);
  }
  {
    const std::lock_guard<std::mutex> guard(lock_);
    worker.job = nullptr;
  }
  // Cancelled: the pool interrupted the session under the copy.
  if (stopping_) return true;
  for (std::size_t i = 0; i < count; ++i) settle(jobs[first + i], outcome[i]);
  return session.connected();
}

// Counts a copy that returned: arrived, or failed with the reason the host
// layer found (a local one named by its local path).
void ParallelCopy::settle(const Job& job, const korvex::Status& status) {
  if (status && direction_ == Direction::Get) {
    std::error_code error;
    const std::uintmax_t written = fs::file_size(localPathOf(job.to), error);
    if (error || written != static_cast<std::uintmax_t>(job.size)) {
      Failure failure{kLocalFile, std::string(what_) + ": " + job.to + ": " +
                                      (error ? error.message()
                                             : "holds " + std::to_string(written) + " bytes, not " +
                                                   std::to_string(job.size))};
      ended(job, &failure);
      return;
    }
  }
  if (status) {
    ended(job, nullptr);
    return;
  }
  // A local failure names the local path, the phone's the phone path.
  const bool get = direction_ == Direction::Get;
  if (get && status.error() != korvex::Errc::local_file && localShortOfSpace(job.to, job.size)) {
    Failure failure{kLocalFile, std::string(what_) + ": " + job.to + ": " + noSpaceText()};
    {
      const std::lock_guard<std::mutex> guard(lock_);
      localFull_ = true;
    }
    ended(job, &failure);
    return;
  }
  const std::string& local = get ? job.to : job.from;
  const std::string& remote = get ? job.from : job.to;
  Failure failure =
      status.error() == korvex::Errc::connection_lost
          ? Failure{kBroken, std::string(what_) + ": " + job.from + ": the copy broke off: the connection was lost"}
          : asFailure(what_, status.error() == korvex::Errc::local_file ? local : remote, status.reason(),
                      get ? "the phone did not send it whole" : "the phone refused to store it");
  ended(job, &failure);
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
// too, their sessions interrupted under them (a download's destination stays
// as it was). The pool ends the sessions.
void ParallelCopy::stopWorkers(bool endCopies) {
  stopping_ = true;
  if (endCopies) pool_.stop();
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
  threads_.clear();
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
  std::fprintf(stderr, "korvex: %s: %zu of %zu %s did not arrive\n", what_, files_ - arrived_, files_,
               files_ == 1 ? "file" : "files");
  return failures_.front().code;
}

}  // namespace korvex::cli
