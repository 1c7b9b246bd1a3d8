// mv, rm, rmdir, mkdir and chown: the commands that change a phone path.
// Each prints nothing on success; a refusal names the likeliest reason.
#include <string>
#include <vector>

#include "commands.h"
#include "phone_glob.h"

namespace korvex::cli {

namespace {

// Each path in turn: a failure is reported and the rest still done; the exit
// code is that of the first failure. A lost connection ends it all.
template <typename Paths, typename Each>
int forEachPath(const Paths& paths, Each each) {
  int code = kOk;
  for (const auto& path : paths) {
    try {
      each(path);
    } catch (const Failure& failure) {
      if (failure.code == kBroken) throw;
      printMessage(failure.message);
      if (code == kOk) code = failure.code;
    }
  }
  return code;
}

struct MoveOptions {
  std::vector<std::string> paths;  // the sources, then the destination

  void check() const {
    if (paths.size() < 2) throw CLI::ValidationError("mv", "needs a source and a destination");
    if (!intoDirectory() && paths.back().size() > korvex::kMaxRenameDest) {
      throw CLI::ValidationError("DST", "phone path longer than " + std::to_string(korvex::kMaxRenameDest) + " bytes");
    }
  }
  // Several sources, or a destination ending with '/', go into a directory.
  bool intoDirectory() const { return paths.size() > 2 || paths.back().back() == '/'; }
};

void move(const korvex::Session& phone, const std::string& source, const std::string& dest) {
  if (dest.size() > korvex::kMaxRenameDest) {
    throw Failure{kUsage, "mv: " + dest + ": phone path longer than " + std::to_string(korvex::kMaxRenameDest) +
                              " bytes"};
  }
  // The phone's answer would be a bare no. Below a file, the rename's own
  // answer (not a directory) says it.
  std::string from = source;
  while (from.size() > 1 && from.back() == '/') from.pop_back();
  if (from == "/") throw Failure{kUsage, "mv: /: the root cannot be moved"};
  if (dest.starts_with(from == "/" ? from : from + "/") && !no(phone.is_directory(from))) {
    throw Failure{kUsage, "mv: " + source + " -> " + dest + ": a directory cannot move into itself"};
  }
  const korvex::Status moved = phone.rename(source, dest);
  if (moved) return;
  // A missing source names the source alone; the rest concern the pair.
  if (moved.error() == korvex::Errc::not_found && no(phone.exists(source))) throw asFailure("mv", source, moved.reason());
  throw asFailure("mv", source + " -> " + dest, moved.reason(), "the phone refused the rename");
}

int moveCommand(Context& context, const MoveOptions& options) {
  const korvex::Session& phone = context.phone();
  const std::string& dest = options.paths.back();
  // An existing directory receives the source under its own name, as mv does.
  const bool destIsDirectory = yes(phone.is_directory(dest));
  if (!options.intoDirectory() && !destIsDirectory) {
    move(phone, options.paths.front(), dest);
    return kOk;
  }
  if (!destIsDirectory) throw directoryRefusal(phone, "mv", dest);
  const std::vector<std::string> sources(options.paths.begin(), options.paths.end() - 1);
  return forEachPath(sources, [&](const std::string& source) {
    move(phone, source, korvex::join_path(dest, korvex::base_name(source)));
  });
}

struct RemoveOptions {
  std::string path;
  bool recursive = false;  // rmdir only
};

struct RemoveFilesOptions {
  std::vector<std::string> paths;  // each may be a pattern
  bool recursive = false;
};

// With -r a path the phone will not remove as a file is removed as a tree.
void removePath(const korvex::Session& phone, const std::string& path, bool recursive) {
  const korvex::Status removed = phone.remove(path);
  if (removed) return;
  if (recursive && removed.error() == korvex::Errc::is_a_directory) {
    const korvex::Status tree = phone.remove_directory(path, true);
    if (tree) return;
    throw asFailure("rm", path, tree.reason());
  }
  Failure failure = asFailure("rm", path, removed.reason());
  if (removed.error() == korvex::Errc::is_a_directory) failure.message += " (use -r)";
  throw failure;
}

// Every argument's matches in turn; a pattern that matches nothing and a path
// that cannot be removed are reported, and the rest go on.
int removeCommand(Context& context, const RemoveFilesOptions& options) {
  const korvex::Session& phone = context.phone();
  std::vector<PhoneMatch> matches;
  const int unmatched = forEachPath(options.paths, [&](const std::string& argument) {
    const std::vector<PhoneMatch> found = expandPhonePattern(phone, "rm", argument);
    matches.insert(matches.end(), found.begin(), found.end());
  });
  const int removed = forEachPath(matches, [&](const PhoneMatch& match) {
    // A listed directory needs no question.
    if (match.isDirectory && !options.recursive) {
      throw Failure{kRefused, "rm: " + match.path + ": is a directory (use -r)"};
    }
    removePath(phone, match.path, options.recursive);
  });
  return unmatched != kOk ? unmatched : removed;
}

int removeDirectoryCommand(Context& context, const RemoveOptions& options) {
  const korvex::Session& phone = context.phone();
  const std::string& path = options.path;
  const korvex::Status removed = phone.remove_directory(path, options.recursive);
  if (removed) return kOk;
  Failure failure = asFailure("rmdir", path, removed.reason());
  if (removed.error() == korvex::Errc::not_empty) failure.message += " (use -r)";
  throw failure;
}

struct MakeDirectoryOptions {
  std::vector<std::string> paths;
  bool parents = false;
};

// Each missing ancestor in turn; one that exists must be a directory.
void makeParents(const korvex::Session& phone, const std::string& path) {
  std::size_t end = 0;
  while (end != std::string::npos) {
    end = path.find('/', end + 1);
    const std::string prefix = path.substr(0, end);
    if (prefix.empty() || prefix == "/" || prefix.back() == '/') continue;
    if (yes(phone.is_directory(prefix))) continue;
    if (yes(phone.exists(prefix))) throw Failure{kRefused, "mkdir: " + prefix + ": not a directory"};
    const korvex::Status made = phone.make_directory(prefix);
    if (!made && !yes(phone.is_directory(prefix))) throw asFailure("mkdir", prefix, made.reason(), "the phone refused to create it");
  }
}

void makeDirectory(const korvex::Session& phone, const std::string& path, bool parents) {
  if (parents) {
    makeParents(phone, path);
    return;
  }
  const korvex::Status made = phone.make_directory(path);
  if (made) return;
  Failure failure = asFailure("mkdir", path, made.reason(), "the phone refused to create it");
  if (made.error() == korvex::Errc::not_found) failure.message += " (use -p)";
  throw failure;
}

// Each in the order given, so a parent named before its child is made first.
int makeDirectoryCommand(Context& context, const MakeDirectoryOptions& options) {
  const korvex::Session& phone = context.phone();
  return forEachPath(options.paths, [&](const std::string& path) { makeDirectory(phone, path, options.parents); });
}

struct ChownOptions {
  std::string path;
  int owner = 0, group = 0;
};

int chownCommand(Context& context, const ChownOptions& options) {
  const korvex::Session& phone = context.phone();
  const korvex::Status changed = phone.chown(options.path, options.owner, options.group);
  if (changed) return kOk;
  throw asFailure("chown", options.path, changed.reason(),
                  "the phone refused owner " + std::to_string(options.owner) + " group " +
                      std::to_string(options.group));
}

}  // namespace

const AddCommand addMove = [](CLI::App& app, Run& run) {
  const auto mv = subcommand(app, run, "mv",
                             "rename or move a phone file or directory; into DIR when it is an existing directory",
                             &moveCommand);
  addPhonePaths(mv.app, "PATHS", mv.options->paths,
               "SRC DST, or SRC... DIR: phone paths, then the new path or an existing directory");
};

const AddCommand addRemove = [](CLI::App& app, Run& run) {
  const auto rm = subcommand(app, run, "rm", "delete phone files (and with -r whole directories)", &removeCommand);
  rm.app->add_flag("-r,--recursive", rm.options->recursive, "delete directories with everything in them");
  addPhonePaths(rm.app, "PATHS", rm.options->paths, "phone files");
};

const AddCommand addRemoveDirectory = [](CLI::App& app, Run& run) {
  pathSubcommand(app, run, "rmdir", "delete an empty phone directory (a whole tree with -r)", &removeDirectoryCommand,
                 "phone directory",
                 {"-r,--recursive", &RemoveOptions::recursive, "delete the directory with everything in it"});
};

const AddCommand addMakeDirectory = [](CLI::App& app, Run& run) {
  const auto mkdir = subcommand(app, run, "mkdir", "create phone directories (each parent must exist, unless -p)",
                                &makeDirectoryCommand);
  mkdir.app->add_flag("-p,--parents", mkdir.options->parents,
                      "create missing parents too; an existing directory is no error");
  addPhonePaths(mkdir.app, "PATHS", mkdir.options->paths, "phone directories");
};

const AddCommand addChown = [](CLI::App& app, Run& run) {
  const auto chown = subcommand(app, run, "chown", "change the owner and group of a phone path", &chownCommand);
  addPhonePath(chown.app, "PATH", chown.options->path, "phone path");
  chown.app->add_option("UID", chown.options->owner, "numeric owner")->required();
  chown.app->add_option("GID", chown.options->group, "numeric group")->required();
};

}  // namespace korvex::cli
