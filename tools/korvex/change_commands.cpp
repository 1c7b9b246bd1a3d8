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
  if (phone.rename(source, dest)) return;
  Failure failure = refusal(phone, "mv", source);
  if (failure.code == kRefused && yes(phone.exists(source))) {
    const std::string parent = korvex::parent_path(dest);
    if (yes(phone.exists(dest))) {
      failure.message = "mv: " + source + " -> " + dest + ": the destination exists";
    } else if (no(phone.exists(parent))) {
      failure.message = "mv: " + source + " -> " + dest + ": no such directory " + parent;
    } else {
      failure.message = "mv: " + source + " -> " + dest + ": the phone refused the rename";
    }
  }
  throw failure;
}

int moveCommand(Context& context, const MoveOptions& options) {
  const korvex::Session& phone = context.phone();
  const std::string& dest = options.paths.back();
  if (!options.intoDirectory()) {
    move(phone, options.paths.front(), dest);
    return kOk;
  }
  if (!yes(phone.is_directory(dest))) throw directoryRefusal(phone, "mv", dest);
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
  if (phone.remove(path)) return;
  if (recursive && phone.remove_directory(path, true)) return;
  throw refusal(phone, "rm", path, !recursive && yes(phone.is_directory(path)) ? "is a directory (use rmdir)" : "");
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
      throw Failure{kRefused, "rm: " + match.path + ": is a directory (use rmdir)"};
    }
    removePath(phone, match.path, options.recursive);
  });
  return unmatched != kOk ? unmatched : removed;
}

// A listing that fails counts as entries: only an empty directory is sure.
bool hasEntries(const korvex::Session& phone, const std::string& path) {
  const auto files = phone.files(path);
  if (!files || !files->empty()) return true;
  const auto directories = phone.directories(path);
  return !directories || !directories->empty();
}

int removeDirectoryCommand(Context& context, const RemoveOptions& options) {
  const korvex::Session& phone = context.phone();
  const std::string& path = options.path;
  if (phone.remove_directory(path, options.recursive)) return kOk;
  std::string hint;
  if (!options.recursive && yes(phone.is_directory(path)) && hasEntries(phone, path)) {
    hint = "directory not empty (use -r)";
  }
  throw directoryRefusal(phone, "rmdir", path, hint);
}

struct MakeDirectoryOptions {
  std::string path;
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
    if (!phone.make_directory(prefix) && !yes(phone.is_directory(prefix))) {
      throw refusal(phone, "mkdir", prefix, "the phone refused to create it");
    }
  }
}

int makeDirectoryCommand(Context& context, const MakeDirectoryOptions& options) {
  const korvex::Session& phone = context.phone();
  const std::string& path = options.path;
  if (options.parents) {
    makeParents(phone, path);
    return kOk;
  }
  if (phone.make_directory(path)) return kOk;
  if (!phone.connected()) throw refusal(phone, "mkdir", path);
  if (yes(phone.exists(path))) throw Failure{kRefused, "mkdir: " + path + ": already exists"};
  const std::string parent = korvex::parent_path(path);
  if (!parent.empty() && no(phone.exists(parent))) {
    throw Failure{kRefused, "mkdir: " + path + ": no such directory " + parent + " (use -p)"};
  }
  throw Failure{kRefused, "mkdir: " + path + ": the phone refused to create it"};
}

struct ChownOptions {
  std::string path;
  int owner = 0, group = 0;
};

int chownCommand(Context& context, const ChownOptions& options) {
  const korvex::Session& phone = context.phone();
  if (phone.chown(options.path, options.owner, options.group)) return kOk;
  throw refusal(phone, "chown", options.path,
                "the phone refused owner " + std::to_string(options.owner) + " group " +
                    std::to_string(options.group));
}

}  // namespace

const AddCommand addMove = [](CLI::App& app, Run& run) {
  const auto mv = subcommand(app, run, "mv",
                             "rename or move a phone file or directory; several, or into DIR/, go into a directory",
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
  pathSubcommand(app, run, "mkdir", "create a phone directory (its parent must exist, unless -p)",
                 &makeDirectoryCommand, "phone directory",
                 {"-p,--parents", &MakeDirectoryOptions::parents,
                  "create missing parents too; an existing directory is no error"});
};

const AddCommand addChown = [](CLI::App& app, Run& run) {
  const auto chown = subcommand(app, run, "chown", "change the owner and group of a phone path", &chownCommand);
  addPhonePath(chown.app, "PATH", chown.options->path, "phone path");
  chown.app->add_option("UID", chown.options->owner, "numeric owner")->required();
  chown.app->add_option("GID", chown.options->group, "numeric group")->required();
};

}  // namespace korvex::cli
