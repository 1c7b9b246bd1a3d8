// get -r / put -r and several sources: a plan of directories and files,
// then up to N background copies at once under one progress line. A file
// that fails is reported and the rest goes on.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "commands.h"
#include "copy_support.h"
#include "korvex.hpp"
#include "local_files.h"

namespace korvex::cli {

namespace {

namespace fs = std::filesystem;

enum class Direction { Get, Put };

struct Job {
  std::string from, to;
  std::int64_t size = 0;
};

struct Plan {
  std::vector<std::string> directories;  // to create, parents before children
  std::vector<Job> jobs;
  std::vector<Failure> failures;         // sources that cannot be copied at all
  std::int64_t bytes() const {
    std::int64_t sum = 0;
    for (const Job& job : jobs) sum += job.size;
    return sum;
  }
};

// A source given as a root, "." or ".." has no name of its own: what it
// holds goes into the destination itself.
bool unnamed(const std::string& name) { return name.empty() || name == "." || name == ".."; }

Failure tooLargeFailure(const char* what, const std::string& path) {
  return {kLocalFile, std::string(what) + ": " + path + ": " + kTooLarge};
}

// ---- Planning --------------------------------------------------------------

void planLocalTree(const fs::path& source, const std::string& root, Plan& plan) {
  plan.directories.push_back(root);
  std::error_code error;
  fs::recursive_directory_iterator it(source, fs::directory_options::skip_permission_denied, error);
  if (error) {
    plan.failures.push_back({kLocalFile, "put: " + localText(source) + ": " + error.message()});
    return;
  }
  for (; it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (error) {
      plan.failures.push_back({kLocalFile, "put: " + localText(source) + ": " + error.message()});
      return;
    }
    const fs::directory_entry& entry = *it;
    const std::string target = joinPhone(root, phoneText(fs::relative(entry.path(), source)));
    std::error_code ignored;
    // Linked directories are not followed (a link may loop); linked files are.
    if (fs::is_directory(entry.symlink_status(ignored))) {
      plan.directories.push_back(target);
    } else if (entry.is_regular_file(ignored)) {
      const std::int64_t size = static_cast<std::int64_t>(entry.file_size(ignored));
      if (size > kMaxCopySize) {
        plan.failures.push_back(tooLargeFailure("put", localText(entry.path())));
      } else {
        plan.jobs.push_back({localText(entry.path()), target, size});
      }
    }
  }
}

Plan planPut(const Phone& phone, const std::vector<std::string>& sources, const std::string& dest, bool recursive) {
  Plan plan;
  const bool intoDirectory = phone.isDirectory(dest) == 1;
  if (sources.size() > 1 && !intoDirectory) {
    throw Failure{kRefused, "put: " + dest + ": not a phone directory (several sources need one)"};
  }
  for (const std::string& source : sources) {
    const LocalStatus info = localStatus(source);
    if (info.kind == LocalStatus::Kind::Missing) {
      plan.failures.push_back({kLocalFile, "put: " + source + ": " + std::strerror(info.error)});
      continue;
    }
    const std::string name = localName(source);
    if (info.kind == LocalStatus::Kind::Regular) {
      const std::string target = intoDirectory || dest.back() == '/' ? joinPhone(dest, name) : dest;
      if (info.size > kMaxCopySize) {
        plan.failures.push_back(tooLargeFailure("put", source));
      } else {
        plan.jobs.push_back({source, target, info.size});
      }
    } else if (info.kind == LocalStatus::Kind::Directory) {
      if (!recursive) {
        plan.failures.push_back({kLocalFile, "put: " + source + ": is a directory (use -r)"});
        continue;
      }
      std::string root = intoDirectory && !unnamed(name) ? joinPhone(dest, name) : dest;
      while (root.size() > 1 && root.back() == '/') root.pop_back();
      planLocalTree(localPathOf(source), root, plan);
    } else {
      plan.failures.push_back({kLocalFile, "put: " + source + ": not a regular file"});
    }
  }
  return plan;
}

// Lists a phone directory tree into the plan; a subdirectory that cannot be
// listed is a failure of its own.
void planPhoneTree(const Phone& phone, const std::string& path, const fs::path& root, Plan& plan) {
  plan.directories.push_back(localText(root));
  auto directories = phone.list(path, true);
  auto files = phone.list(path, false);
  if (!directories || !files) {
    Failure failure = phone.refusal("get", path, "cannot be listed");
    if (failure.code == kBroken) throw failure;
    plan.failures.push_back(std::move(failure));
    return;
  }
  // A name that is not a plain local name is skipped, and the copy goes on.
  auto component = [&](const std::string& name) {
    std::optional<fs::path> local = localComponent(name);
    if (!local) {
      plan.failures.push_back({kRefused, "get: " + path + ": the phone listed the name \"" + name + "\", skipped"});
    }
    return local;
  };
  for (const std::string& name : *directories) {
    if (const auto local = component(name)) planPhoneTree(phone, joinPhone(path, name), root / *local, plan);
  }
  for (const std::string& name : *files) {
    const auto local = component(name);
    if (!local) continue;
    const std::string from = joinPhone(path, name);
    const std::int64_t size = phone.fileSize(from);
    if (size < 0) {
      plan.failures.push_back(phone.refusal("get", from, "the phone refused to tell its size"));
    } else if (size > kMaxCopySize) {
      plan.failures.push_back(tooLargeFailure("get", from));
    } else {
      plan.jobs.push_back({from, localText(root / *local), size});
    }
  }
}

Plan planGet(const Phone& phone, const std::vector<std::string>& sources, const std::string& dest, bool recursive) {
  Plan plan;
  const bool intoDirectory = localStatus(dest).kind == LocalStatus::Kind::Directory;
  if (sources.size() > 1 && !intoDirectory) {
    throw Failure{kLocalFile, "get: " + dest + ": not a directory (several sources need one)"};
  }
  for (const std::string& source : sources) {
    const int exists = phone.exists(source);
    if (exists != 1) {
      Failure failure = phone.refusal("get", source);
      if (failure.code == kBroken) throw failure;
      plan.failures.push_back(std::move(failure));
      continue;
    }
    // The phone's root has no name: its contents go into the destination.
    const std::string name = baseName(source);
    fs::path target = localPathOf(dest);
    if (intoDirectory && !unnamed(name)) {
      const auto local = localComponent(name);
      if (!local) {
        plan.failures.push_back({kRefused, "get: " + source + ": its name cannot name a local file"});
        continue;
      }
      target /= *local;
    }
    if (phone.isDirectory(source) == 1) {
      if (!recursive) {
        plan.failures.push_back({kRefused, "get: " + source + ": is a directory (use -r)"});
      } else {
        planPhoneTree(phone, source, target, plan);
      }
      continue;
    }
    const std::int64_t size = phone.fileSize(source);
    if (size < 0) {
      plan.failures.push_back(phone.refusal("get", source, "the phone refused to tell its size"));
    } else if (size > kMaxCopySize) {
      plan.failures.push_back(tooLargeFailure("get", source));
    } else {
      plan.jobs.push_back({source, localText(target), size});
    }
  }
  return plan;
}

// ---- Running ---------------------------------------------------------------

class Runner {
 public:
  Runner(Phone& phone, Direction direction, const TreeCopyOptions& options)
      : phone_(phone),
        direction_(direction),
        options_(options),
        what_(direction == Direction::Get ? "get" : "put"),
        start_(Clock::now()),
        bar_(options.copy.progress == ProgressMode::Always ||
                 (options.copy.progress == ProgressMode::Auto && outputIsTerminal()),
             start_) {}

  int run(Plan& plan) {
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

 private:
  struct Active {
    const Job* job;
    TransferHandle handle;
    Clock::time_point started;
    std::int64_t moved = -1;  // -1 until the copy runs
  };

  void report(Failure failure) {
    bar_.clear();
    printMessage(failure.message);
    failures_.push_back(std::move(failure));
  }

  void makeDirectories(const std::vector<std::string>& directories) {
    for (const std::string& directory : directories) {
      if (direction_ == Direction::Get) {
        std::error_code error;
        fs::create_directories(localPathOf(directory), error);
        if (error) report({kLocalFile, "get: " + directory + ": " + error.message()});
      } else if (phone_.isDirectory(directory) != 1 && !CreatePhoneDirectory(phone_.handle(), directory.c_str())) {
        report(phone_.refusal("put", directory, "the phone refused to create the directory"));
      }
    }
  }

  void start(const Job& job) {
    if (direction_ == Direction::Put && job.size == 0) {
      // An empty upload runs on the session: there is no progress to follow.
      if (CopyToPhone(phone_.handle(), job.from.c_str(), job.to.c_str())) {
        arrived(job);
      } else {
        report(phone_.refusal("put", job.to, "the phone refused to store it"));
      }
      return;
    }
    Active active{&job, nullptr, Clock::now()};
    if (direction_ == Direction::Get) {
      active.handle = DownFromPhoneAsync(phone_.handle(), job.from.c_str(), job.to.c_str());
    } else {
      active.handle = CopyToPhoneAsync(phone_.handle(), job.from.c_str(), job.to.c_str());
    }
    if (!active.handle) {
      report(direction_ == Direction::Put ? Failure{kLocalFile, "put: " + job.from + ": cannot be opened"}
                                          : Failure{kBroken, "get: " + job.from + ": the session is closing"});
      return;
    }
    active_.push_back(active);
  }

  // true when the copy has ended, one way or the other.
  bool poll(Active& active) {
    int total = 0, progress = 0;
    const int value = GetTransProgress(active.handle, &total, &progress);
    const korvex::Progress state = korvex::Progress::decode(value, total);
    using Phase = korvex::Progress::Phase;
    if (state.phase == Phase::running) {
      active.moved = state.done;
      return false;
    }
    if (state.phase == Phase::starting) {
      if (secondsSince(active.started) <= options_.copy.startTimeoutSeconds) return false;
      close(active);
      report({kBroken, std::string(what_) + ": " + active.job->from +
                           ": the copy did not start within the start time-out"});
      return true;
    }
    std::error_code ignored;
    const bool done = state.phase == Phase::done;
    if (done) active.moved = state.done;
    // Waits for the copy's thread: a download's file is complete only then.
    close(active);
    if (done) {
      verify(*active.job);
    } else if (active.moved < 0 && direction_ == Direction::Get && !writable(active.job->to)) {
      const bool directory = fs::is_directory(localPathOf(active.job->to), ignored);
      report({kLocalFile, "get: " + active.job->to + ": cannot be written" +
                              (directory ? " (a directory is in the way)" : "")});
    } else if (active.moved < 0) {
      report(phone_.refusal(what_, direction_ == Direction::Get ? active.job->from : active.job->to,
                            direction_ == Direction::Get ? "the phone did not send it whole"
                                                         : "the phone refused to store it"));
    } else {
      report({kBroken, std::string(what_) + ": " + active.job->from + ": the copy broke off after " +
                           std::to_string(active.moved) + " of " + std::to_string(active.job->size) + " bytes"});
    }
    return true;
  }

  // Whether a download could create or replace `path`.
  static bool writable(const std::string& path) {
    std::error_code ignored;
    if (fs::is_directory(localPathOf(path), ignored)) return false;
    if (fs::exists(localPathOf(path), ignored)) return writableError(path) == 0;
    const std::string parent = localText(localPathOf(path).parent_path());
    return writableError(parent.empty() ? std::string(".") : parent) == 0;
  }

  // An upload reported done was confirmed by the phone already.
  void verify(const Job& job) {
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

  void arrived(const Job& job) {
    ++arrived_;
    arrivedBytes_ += job.size;
  }

  void close(Active& active) {
    if (active.handle) CloseTransHandle(active.handle);
    active.handle = nullptr;
  }

  // A download that did not end leaves the local file as it was.
  void closeAll() {
    for (Active& active : active_) close(active);
    active_.clear();
  }

  [[noreturn]] void cancelAll() {
    const int signal = stopSignal;
    bar_.clear();
    closeAll();
    throw Failure{kSignalBase + signal, std::string(what_) + ": cancelled; " + std::to_string(arrived_) + " of " +
                                            std::to_string(files_) + " files had arrived"};
  }

  void draw() {
    std::int64_t moving = 0;
    std::vector<std::string> current;
    for (const Active& active : active_) {
      moving += std::max<std::int64_t>(active.moved, 0);
      current.push_back(direction_ == Direction::Put ? localName(active.job->from) : baseName(active.job->from));
    }
    const std::int64_t done = arrivedBytes_ + moving;
    const std::size_t ended = arrived_ + failures_.size();
    bar_.update(done, totalBytes_, [&](double rate, int width) {
      return treeProgressLine({done, totalBytes_, ended, files_, rate}, current, width);
    });
  }

  int finish() {
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

  Phone& phone_;
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

}  // namespace

int getTreeCommand(Context& context, const std::vector<std::string>& phonePaths, const std::string& localPath,
                   const TreeCopyOptions& options) {
  StopSignals signals;
  Phone& phone = context.phone();
  Plan plan = planGet(phone, phonePaths, localPath, options.recursive);
  if (stopSignal) throw Failure{kSignalBase + stopSignal, "get: cancelled before the copy started"};
  return Runner(phone, Direction::Get, options).run(plan);
}

int putTreeCommand(Context& context, const std::vector<std::string>& localPaths, const std::string& phonePath,
                   const TreeCopyOptions& options) {
  StopSignals signals;
  Phone& phone = context.phone();
  Plan plan = planPut(phone, localPaths, phonePath, options.recursive);
  if (stopSignal) throw Failure{kSignalBase + stopSignal, "put: cancelled before the copy started"};
  return Runner(phone, Direction::Put, options).run(plan);
}

}  // namespace korvex::cli
