#include "copy_plan.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "copy_support.h"
#include "local_files.h"
#include "phone.h"
#include "korvex.hpp"

namespace korvex::cli {

namespace {

namespace fs = std::filesystem;

// A source given as a root, "." or ".." has no name of its own: what it
// holds goes into the destination itself.
bool unnamed(const std::string& name) { return name.empty() || name == "." || name == ".."; }

Failure tooLargeFailure(const char* what, const std::string& path) {
  return {kLocalFile, std::string(what) + ": " + path + ": " + kTooLarge};
}

// A file of `size` bytes, unless it is too large for a copy.
void planFile(Plan& plan, const char* what, std::string from, std::string to, std::int64_t size) {
  if (size > kMaxCopySize) {
    plan.failures.push_back(tooLargeFailure(what, from));
  } else {
    plan.jobs.push_back({std::move(from), std::move(to), size});
  }
}

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
    const std::string target = korvex::join_path(root, phoneText(entry.path().lexically_relative(source)));
    std::error_code ignored;
    // Linked directories are not followed (a link may loop); linked files are.
    if (fs::is_directory(entry.symlink_status(ignored))) {
      plan.directories.push_back(target);
    } else if (entry.is_regular_file(ignored)) {
      planFile(plan, "put", localText(entry.path()), target, static_cast<std::int64_t>(entry.file_size(ignored)));
    }
  }
}

// A phone file into the plan, with the size its listing told or, failing
// that, the one the phone tells when asked.
void planPhoneFile(const korvex::Session& phone, Plan& plan, const std::string& from, const fs::path& to,
                   std::int64_t listedSize = -1) {
  const std::int64_t size = listedSize >= 0 ? listedSize : sizeOrUnknown(phone.file_size(from));
  if (size < 0) {
    plan.failures.push_back(refusal(phone, "get", from, "the phone refused to tell its size"));
  } else {
    planFile(plan, "get", from, localText(to), size);
  }
}

// Puts what a phone tree holds into the plan. A subdirectory that cannot be
// listed is a failure of its own; a name that is not a plain local name is
// skipped, and the copy goes on.
class PhoneTreePlanner : public korvex::TreeVisitor {
 public:
  PhoneTreePlanner(const korvex::Session& phone, const fs::path& root, Plan& plan)
      : phone_(phone), plan_(plan), locals_{root} {
    plan_.directories.push_back(localText(root));
  }

  bool unlisted(const std::string& path, std::size_t, const korvex::Reason&) override {
    Failure failure = refusal(phone_, "get", path, "cannot be listed");
    if (failure.code == kBroken) throw failure;
    plan_.failures.push_back(std::move(failure));
    return true;
  }
  bool enter(const korvex::TreeEntry& directory) override {
    const auto local = component(directory);
    if (!local) return false;
    // The walk goes depth first: what sits at each shallower depth is an ancestor.
    locals_.resize(directory.depth + 1);
    locals_.push_back(locals_[directory.depth] / *local);
    plan_.directories.push_back(localText(locals_.back()));
    return true;
  }
  void file(const korvex::TreeEntry& file) override {
    if (const auto local = component(file)) {
      planPhoneFile(phone_, plan_, file.path(), locals_[file.depth] / *local, file.size);
    }
  }

 private:
  std::optional<fs::path> component(const korvex::TreeEntry& entry) {
    std::optional<fs::path> local = localComponent(entry.name);
    if (!local) {
      plan_.failures.push_back(
          {kRefused, "get: " + entry.directory + ": the phone listed the name \"" + entry.name + "\", skipped"});
    }
    return local;
  }

  const korvex::Session& phone_;
  Plan& plan_;
  std::vector<fs::path> locals_;  // the local directory of each depth
};

// A tree whose destination cannot be a directory: one line for it, and
// none of its files tried. The only source ends the copy before any login.
void refuseTree(Plan& plan, Failure failure, const std::string& source, bool only) {
  if (only) throw Failure{failure.code, failure.message + "; nothing was copied"};
  failure.message += "; " + source + " skipped";
  plan.failures.push_back(std::move(failure));
}

}  // namespace

Plan planPut(const korvex::Session& phone, const std::vector<std::string>& sources, const std::string& dest,
             bool recursive, const PlanAhead& ahead) {
  Plan plan;
  // The destination and its folder in one round trip: a tree that would
  // become the destination needs the folder to be there.
  std::string trimmed = dest;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const korvex::Result<std::vector<korvex::PathStatus>> statuses =
      phone.statuses({trimmed, korvex::parent_path(trimmed)});
  const korvex::Result<korvex::PathStatus> destStatus =
      statuses ? korvex::Result<korvex::PathStatus>(statuses->front()) : statuses.error();
  const bool intoDirectory = destStatus && destStatus->kind == korvex::PathKind::directory;
  const bool folderThere = statuses && statuses->back().kind == korvex::PathKind::directory;
  if (sources.size() > 1 && !intoDirectory) {
    throw Failure{kRefused, "put: " + dest + ": not a phone directory (several sources need one)"};
  }
  for (const std::string& source : sources) {
    const LocalStatus info = localStatus(source);
    const std::string name = localName(source);
    if (info.kind == LocalStatus::Kind::Missing) {
      plan.failures.push_back({kLocalFile, "put: " + source + ": " + std::strerror(info.error)});
    } else if (info.kind == LocalStatus::Kind::Regular) {
      const std::string target = intoDirectory || dest.back() == '/' ? korvex::join_path(dest, name) : dest;
      planFile(plan, "put", source, target, info.size);
    } else if (info.kind != LocalStatus::Kind::Directory) {
      plan.failures.push_back({kLocalFile, "put: " + source + ": not a regular file"});
    } else if (!recursive) {
      plan.failures.push_back({kLocalFile, "put: " + source + ": is a directory (use -r)"});
    } else {
      const bool named = intoDirectory && !unnamed(name);
      const std::string root = named ? korvex::join_path(trimmed, name) : trimmed;
      const korvex::Result<korvex::PathStatus> there = named ? phone.status(root) : destStatus;
      if (there && there->kind != korvex::PathKind::missing && there->kind != korvex::PathKind::directory) {
        refuseTree(plan, {kRefused, "put: " + root + ": not a directory"}, source, sources.size() == 1);
        continue;
      }
      // A new tree is made with its folder only: a missing folder, or a file
      // on the way, would fail every directory and file of it.
      if (!named && there && there->kind == korvex::PathKind::missing && statuses && !folderThere) {
        refuseTree(plan, asFailure("put", root, phone.why(korvex::Operation::make_directory, root)), source,
                   sources.size() == 1);
        continue;
      }
      if (ahead.trees) ahead.trees();
      planLocalTree(localPathOf(source), root, plan);
    }
  }
  return plan;
}

Plan planGet(const korvex::Session& phone, const std::vector<std::string>& sources, const std::string& dest,
             bool recursive, const PlanAhead& ahead) {
  Plan plan;
  const bool intoDirectory = localStatus(dest).kind == LocalStatus::Kind::Directory;
  if (sources.size() > 1 && !intoDirectory) {
    throw Failure{kLocalFile, "get: " + dest + ": not a directory (several sources need one)"};
  }
  for (const std::string& source : sources) {
    // Kind and size in one round trip.
    const korvex::Result<korvex::PathStatus> status = phone.status(source);
    if (!status || status->kind == korvex::PathKind::missing) {
      Failure failure = refusal(phone, "get", source);
      if (failure.code == kBroken) throw failure;
      plan.failures.push_back(std::move(failure));
      continue;
    }
    // The phone's root has no name: its contents go into the destination.
    const std::string name = korvex::base_name(source);
    fs::path target = localPathOf(dest);
    if (intoDirectory && !unnamed(name)) {
      const auto local = localComponent(name);
      if (!local) {
        plan.failures.push_back({kRefused, "get: " + source + ": its name cannot name a local file"});
        continue;
      }
      target /= *local;
    }
    if (status->kind != korvex::PathKind::directory) {
      const bool sized = status->kind == korvex::PathKind::file;
      planPhoneFile(phone, plan, source, target, sized ? std::int64_t{status->size} : -1);
    } else if (!recursive) {
      plan.failures.push_back({kRefused, "get: " + source + ": is a directory (use -r)"});
    } else {
      // A file there, a path through one, or a directory that cannot be
      // written in (nor its folder, for a new one): nothing of the tree
      // could be written.
      const LocalStatus there = localStatus(localText(target));
      const bool blocked = there.kind == LocalStatus::Kind::Regular || there.kind == LocalStatus::Kind::Other;
      int error = there.kind == LocalStatus::Kind::Missing && there.error != ENOENT ? there.error : 0;
      if (there.kind == LocalStatus::Kind::Directory) error = writableError(localText(target));
      if (there.kind == LocalStatus::Kind::Missing && there.error == ENOENT) error = folderUnwritable(localText(target));
      if (blocked || error != 0) {
        const std::string why = blocked ? "not a directory" : std::strerror(error);
        refuseTree(plan, {kLocalFile, "get: " + localText(target) + ": " + why}, source, sources.size() == 1);
        continue;
      }
      if (ahead.trees) ahead.trees();
      PhoneTreePlanner planner(phone, target, plan);
      korvex::walk_tree(phone, source, planner, ahead.together);
    }
  }
  return plan;
}

}  // namespace korvex::cli
