// sync: makes a destination tree hold what a source tree holds, one way,
// between the phone and a local directory. Files are compared by size alone:
// the phone tells no modification times.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "commands.h"
#include "copy_plan.h"
#include "json.h"
#include "local_files.h"
#include "parallel_copy.h"
#include "korvex.hpp"
#include "progress.h"
#include "text.h"

namespace korvex::cli {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kPhoneMark = "phone:";

struct SyncOptions {
  std::string source, dest;
  TreeCopyOptions copy;
  bool remove = false;
  bool dryRun = false;
  bool json = false;

  bool toPhone() const { return dest.starts_with(kPhoneMark); }
  void check() const {
    if (source.starts_with(kPhoneMark) == toPhone()) {
      throw CLI::ValidationError("sync", "exactly one of SRC and DST must be a phone path (phone:PATH)");
    }
    const std::string& phone = toPhone() ? dest : source;
    if (phone.size() == kPhoneMark.size() || phone.size() - kPhoneMark.size() > korvex::kMaxPath) {
      throw CLI::ValidationError("sync", phone.substr(0, 40) + ": not a usable phone path");
    }
  }
};

// A tree as the comparison sees it, by path below its root ('/' between
// phone-text names). Sorted, a directory comes before what it holds.
struct TreeEntry {
  bool isDirectory = false;
  std::int64_t size = 0;
};
using Tree = std::map<std::string, TreeEntry>;

// One side of the sync: its root, and what the root holds.
struct Side {
  bool phone = false;
  std::string root;
  bool exists = false;
  Tree tree;
};

// A path below a local root. Names that came from the phone were checked
// to be plain local names when listed.
fs::path localBelow(const std::string& root, const std::string& relative) {
  fs::path path = localPathOf(root);
  std::size_t start = 0;
  while (start < relative.size()) {
    std::size_t slash = relative.find('/', start);
    if (slash == std::string::npos) slash = relative.size();
    const std::string name = relative.substr(start, slash - start);
    const std::optional<fs::path> local = localComponent(name);
    path /= local ? *local : localPathOf(name);
    start = slash + 1;
  }
  return path;
}

std::string pathOf(const Side& side, const std::string& relative) {
  if (relative.empty()) return side.root;
  return side.phone ? korvex::join_path(side.root, relative) : localText(localBelow(side.root, relative));
}

// The local tree; linked directories are not followed (a link may loop),
// linked files are. Anything else (a link to a directory, a pipe, a
// device) cannot be copied; where it stands in the destination it is kept
// (`others`) as an entry of no known size, which a file from the source
// replaces and a directory conflicts with, in the plan as in the run.
void listLocal(Side& side, std::vector<Failure>& failures, bool others = false) {
  const LocalStatus status = localStatus(side.root);
  if (status.kind == LocalStatus::Kind::Missing && status.error == ENOENT) return;
  if (status.kind == LocalStatus::Kind::Missing) {
    throw Failure{kLocalFile, "sync: " + side.root + ": " + std::strerror(status.error)};
  }
  if (status.kind != LocalStatus::Kind::Directory)
    throw Failure{kLocalFile, "sync: " + side.root + ": not a directory"};
  side.exists = true;
  const fs::path root = localPathOf(side.root);
  std::error_code error;
  fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error);
  for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    const fs::directory_entry& entry = *it;
    const std::string relative = phoneText(entry.path().lexically_relative(root));
    std::error_code ignored;
    if (fs::is_directory(entry.symlink_status(ignored))) {
      side.tree[relative] = {true, 0};
    } else if (entry.is_regular_file(ignored)) {
      side.tree[relative] = {false, static_cast<std::int64_t>(entry.file_size(ignored))};
    } else if (others) {
      side.tree[relative] = {false, -1};
    }
  }
  if (error) failures.push_back({kLocalFile, "sync: " + side.root + ": " + error.message()});
}

// Collects a phone tree. When its names are to become local ones, a name
// that is not a plain local name is skipped, and reported.
class PhoneTreeLister : public korvex::TreeVisitor {
 public:
  PhoneTreeLister(const korvex::Session& phone, Side& side, bool namesGoLocal, std::vector<Failure>& failures)
      : phone_(phone), side_(side), namesGoLocal_(namesGoLocal), failures_(failures) {}

  bool unlisted(const std::string& path, std::size_t depth, const korvex::Reason&) override {
    Failure failure =
        depth == 0 ? directoryRefusal(phone_, "sync", path) : refusal(phone_, "sync", path, "cannot be listed");
    if (depth == 0 || failure.code == kBroken) throw failure;
    failures_.push_back(std::move(failure));
    return true;
  }
  bool enter(const korvex::TreeEntry& directory) override {
    if (!usable(directory)) return false;
    side_.tree[directory.relative] = {true, 0};
    return true;
  }
  void file(const korvex::TreeEntry& file) override {
    if (!usable(file)) return;
    const std::int64_t size = file.size >= 0 ? file.size : sizeOrUnknown(phone_.file_size(file.path()));
    if (size < 0) {
      failures_.push_back(refusal(phone_, "sync", file.path(), "the phone refused to tell its size"));
      return;
    }
    side_.tree[file.relative] = {false, size};
  }

 private:
  bool usable(const korvex::TreeEntry& entry) {
    if (!namesGoLocal_ || localComponent(entry.name)) return true;
    failures_.push_back(
        {kRefused, "sync: " + entry.directory + ": the phone listed the name \"" + entry.name + "\", skipped"});
    return false;
  }

  const korvex::Session& phone_;
  Side& side_;
  bool namesGoLocal_;
  std::vector<Failure>& failures_;
};

void listPhone(const korvex::Session& phone, Side& side, bool namesGoLocal, std::vector<Failure>& failures) {
  const korvex::Answer directory = phone.is_directory(side.root);
  if (!yes(directory)) {
    if (no(directory) && no(phone.exists(side.root))) return;
    throw directoryRefusal(phone, "sync", side.root);
  }
  side.exists = true;
  PhoneTreeLister lister(phone, side, namesGoLocal, failures);
  korvex::walk_tree(phone, side.root, lister);
}

// Destination entries by relative path, each with whether it is a directory.
using Entries = std::vector<std::pair<std::string, bool>>;

// What the sync will do: the destination entries of the other kind than the
// source's, replaced first (--delete); the copies as a plan for the pool;
// then the destination entries the source lacks, what a directory holds
// before it.
struct SyncPlan {
  Entries replacements;
  Plan copies;
  std::size_t skipped = 0;
  Entries deletions;
};

// Whether `relative` lies below one of `tops`.
bool below(const std::string& relative, const std::vector<std::string>& tops) {
  return std::any_of(tops.begin(), tops.end(), [&](const std::string& top) {
    return relative.size() > top.size() && relative.starts_with(top) && relative[top.size()] == '/';
  });
}

// A file where the source has a directory, or the reverse: without --delete
// neither side's entry is touched, and nothing below it is copied.
Failure kindConflict(const Side& dest, const std::string& relative, const TreeEntry& there, bool sourceIsDirectory) {
  const std::string what = there.isDirectory ? "a directory"
                           : there.size < 0  ? "a link, pipe or device"
                                             : "a file";
  return {dest.phone ? kRefused : kLocalFile,
          "sync: " + pathOf(dest, relative) + ": " + what + " where the source has " +
              (sourceIsDirectory ? "a directory" : "a file") + " (--delete replaces it)"};
}

SyncPlan compare(const Side& source, const Side& dest, bool remove) {
  SyncPlan sync;
  if (!dest.exists) sync.copies.directories.push_back(dest.root);
  std::vector<std::string> conflicts, replaced;
  for (const auto& [relative, entry] : source.tree) {
    if (below(relative, conflicts)) continue;
    auto there = dest.tree.find(relative);
    // An entry a copy cannot write over (a link, a pipe) conflicts with both kinds.
    if (there != dest.tree.end() && (there->second.isDirectory != entry.isDirectory || there->second.size < 0)) {
      if (!remove) {
        sync.copies.failures.push_back(kindConflict(dest, relative, there->second, entry.isDirectory));
        conflicts.push_back(relative);
        continue;
      }
      sync.replacements.emplace_back(relative, there->second.isDirectory);
      replaced.push_back(relative);
      there = dest.tree.end();
    }
    const bool present = there != dest.tree.end();
    if (entry.isDirectory) {
      if (!present) sync.copies.directories.push_back(pathOf(dest, relative));
    } else if (present && there->second.size == entry.size) {
      ++sync.skipped;
    } else if (entry.size > kMaxCopySize) {
      sync.copies.failures.push_back({kLocalFile, "sync: " + pathOf(source, relative) + ": " + kTooLarge});
    } else {
      sync.copies.jobs.push_back({pathOf(source, relative), pathOf(dest, relative), entry.size});
    }
  }
  if (!remove) return sync;
  for (auto it = dest.tree.rbegin(); it != dest.tree.rend(); ++it) {
    if (!source.tree.contains(it->first) && !below(it->first, replaced)) {
      sync.deletions.emplace_back(it->first, it->second.isDirectory);
    }
  }
  return sync;
}

void printPlan(const SyncPlan& sync, const Side& source, const Side& dest) {
  for (const auto& [relative, directory] : sync.replacements) {
    std::printf("delete %s%s (%s takes its place)\n", shown(pathOf(dest, relative)).c_str(), directory ? "/" : "",
                source.tree.at(relative).isDirectory ? "a directory" : "a file");
  }
  for (const Job& job : sync.copies.jobs) {
    std::printf("copy %s (%lld bytes)\n", shown(job.to).c_str(), static_cast<long long>(job.size));
  }
  for (const auto& [relative, directory] : sync.deletions) {
    std::printf("delete %s%s\n", shown(pathOf(dest, relative)).c_str(), directory ? "/" : "");
  }
  std::printf("sync: dry run: %zu to copy (%s), %zu skipped, %zu to delete, %zu failed; nothing changed\n",
              sync.copies.jobs.size(), formatBytes(sync.copies.bytes()).c_str(), sync.skipped,
              sync.replacements.size() + sync.deletions.size(), sync.copies.failures.size());
}

// Deletes destination entries: the extras, files before the directories
// that held them, or (`whole`) the entries replaced, directories with all
// they hold. The first failure's code, or kOk.
int deleteEntries(const korvex::Session& phone, const Side& dest, const Entries& entries, bool whole,
                  std::size_t& deleted, std::size_t& failed) {
  int code = kOk;
  for (const auto& [relative, directory] : entries) {
    const std::string path = pathOf(dest, relative);
    std::optional<Failure> failure;
    if (dest.phone) {
      const bool removed = directory ? bool(phone.remove_directory(path, whole)) : bool(phone.remove(path));
      if (!removed) {
        failure = directory ? directoryRefusal(phone, "sync", path, "the phone refused to delete it")
                            : refusal(phone, "sync", path, "the phone refused to delete it");
      }
    } else {
      std::error_code error;
      if (whole) {
        fs::remove_all(localPathOf(path), error);
      } else {
        fs::remove(localPathOf(path), error);
      }
      if (error) failure = Failure{kLocalFile, "sync: " + path + ": cannot be deleted: " + error.message()};
    }
    if (!failure) {
      ++deleted;
      continue;
    }
    if (failure->code == kBroken) throw *failure;
    printMessage(failure->message);
    ++failed;
    if (code == kOk) code = failure->code;
  }
  return code;
}

int syncCommand(Context& context, const SyncOptions& options) {
  const Clock::time_point start = Clock::now();
  StopSignals signals;
  const bool toPhone = options.toPhone();
  Side source, dest;
  source.phone = !toPhone;
  source.root = toPhone ? options.source : phonePathArgument(options.source.substr(kPhoneMark.size()));
  dest.phone = toPhone;
  dest.root = toPhone ? phonePathArgument(options.dest.substr(kPhoneMark.size())) : options.dest;
  const korvex::Session& phone = context.phone();

  std::vector<Failure> failures;
  if (source.phone) {
    listPhone(phone, source, true, failures);
    if (!source.exists) throw refusal(phone, "sync", source.root);
  } else {
    listLocal(source, failures);
    if (!source.exists) throw Failure{kLocalFile, "sync: " + source.root + ": " + std::strerror(ENOENT)};
  }
  if (dest.phone) {
    listPhone(phone, dest, false, failures);
    // A new destination is made in its folder alone: without that folder
    // every directory and file of the copy would fail in turn.
    if (!dest.exists && !yes(phone.is_directory(korvex::parent_path(dest.root)))) {
      throw asFailure("sync", dest.root, phone.why(korvex::Operation::make_directory, dest.root));
    }
  } else {
    listLocal(dest, failures, true);
    if (const int error = dest.exists ? writableError(dest.root) : folderUnwritable(dest.root)) {
      throw Failure{kLocalFile, "sync: " + dest.root + ": " + std::strerror(error)};
    }
  }
  SyncPlan sync = compare(source, dest, options.remove);
  for (Failure& failure : failures) sync.copies.failures.push_back(std::move(failure));
  if (options.dryRun) {
    for (const Failure& failure : sync.copies.failures) printMessage(failure.message);
    printPlan(sync, source, dest);
    return sync.copies.failures.empty() ? kOk : sync.copies.failures.front().code;
  }
  if (stopSignal) throw Failure{kSignalBase + stopSignal, "sync: cancelled before the copy started"};

  TreeCopyOptions copyOptions = options.copy;
  copyOptions.command = "sync";
  copyOptions.summary = false;
  ParallelCopy pool(phone, {context.address(), context.password()}, toPhone ? Direction::Put : Direction::Get,
                    copyOptions);
  // What the source holds in place of an entry of the other kind is known,
  // not inferred from an absence: it may be replaced before the copy.
  std::size_t deleted = 0, replaceFailed = 0;
  const int replaced = deleteEntries(phone, dest, sync.replacements, true, deleted, replaceFailed);
  const int copied = pool.run(sync.copies);
  int code = replaced != kOk ? replaced : copied;
  const ParallelCopy::Tally tally = pool.tally();
  std::size_t failed = tally.failed + replaceFailed;
  // Only a complete copy makes it safe to delete: a source that was not
  // read whole would look as if it lacked what it holds.
  if (code == kOk) {
    code = deleteEntries(phone, dest, sync.deletions, false, deleted, failed);
  } else if (!sync.deletions.empty()) {
    printMessage("sync: nothing deleted, as not everything was copied");
  }

  const double seconds = secondsSince(start);
  if (options.json) {
    std::printf("%s\n", JsonObject()
                            .add("copied", static_cast<std::int64_t>(tally.arrived))
                            .add("skipped", static_cast<std::int64_t>(sync.skipped))
                            .add("deleted", static_cast<std::int64_t>(deleted))
                            .add("failed", static_cast<std::int64_t>(failed))
                            .add("bytes", tally.bytes)
                            .str()
                            .c_str());
  } else {
    std::printf("sync: %zu copied, %zu skipped, %zu deleted, %zu failed, %s in %.1f s\n", tally.arrived, sync.skipped,
                deleted, failed, formatBytes(tally.bytes).c_str(), seconds);
  }
  return code;
}

}  // namespace

const AddCommand addSync = [](CLI::App& app, Run& run) {
  const auto sync = subcommand(
      app, run, "sync", "make DST hold what SRC holds, one way between the phone and a local directory", &syncCommand);
  SyncOptions& options = *sync.options;
  sync.app->footer(
      "Files are compared by size alone, as the phone tells no modification times: a file changed in place to the "
      "same size is not copied.");
  sync.app->add_option("SRC", options.source, "the source directory (phone:PATH on the phone)")->required();
  sync.app->add_option("DST", options.dest, "the destination directory (phone:PATH on the phone)")->required();
  sync.app->add_flag("--delete", options.remove,
                     "then delete destination files (and emptied directories) the source lacks, once every copy "
                     "arrived; an entry of the other kind than the source's is replaced before the copies");
  auto* dryRun =
      sync.app->add_flag("-n,--dry-run", options.dryRun, "print what would be copied and deleted, change nothing");
  sync.app->add_option("-j,--jobs", options.copy.jobs, "copies at once, each on a session of its own")
      ->type_name("N")
      ->check(CLI::Range(1, 64))
      ->capture_default_str();
  addProgressOption(sync.app, options.copy.copy.progress);
  sync.app
      ->add_flag("--json", options.json, "the summary as one JSON object of {copied, skipped, deleted, failed, bytes}")
      ->excludes(dryRun);
};

}  // namespace korvex::cli
