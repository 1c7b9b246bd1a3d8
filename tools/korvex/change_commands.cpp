// mv, rm, rmdir, mkdir and chown: the commands that change a phone path.
// Each prints nothing on success; a refusal names the likeliest reason.
#include <string>
#include <vector>

#include "commands.h"
#include "phone_glob.h"

namespace korvex::cli {

namespace {

struct MoveOptions {
  std::string source, dest;
};

int moveCommand(Context& context, const MoveOptions& options) {
  const korvex::Session& phone = context.phone();
  const std::string& source = options.source;
  const std::string& dest = options.dest;
  if (phone.rename(source, dest)) return kOk;
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

struct RemoveOptions {
  std::string path;
  bool recursive = false;  // rmdir only
};

void removeFile(const korvex::Session& phone, const std::string& path) {
  if (phone.remove(path)) return;
  throw refusal(phone, "rm", path, yes(phone.is_directory(path)) ? "is a directory (use rmdir)" : "");
}

// Each match of a pattern in turn; one that fails is reported and the rest
// go on.
int removeCommand(Context& context, const RemoveOptions& options) {
  const korvex::Session& phone = context.phone();
  const std::vector<PhoneMatch> matches = expandPhonePattern(phone, "rm", options.path);
  if (matches.size() == 1) {
    removeFile(phone, matches.front().path);
    return kOk;
  }
  int code = kOk;
  for (const PhoneMatch& match : matches) {
    try {
      if (match.isDirectory) throw Failure{kRefused, "rm: " + match.path + ": is a directory (use rmdir)"};
      removeFile(phone, match.path);
    } catch (const Failure& failure) {
      if (failure.code == kBroken) throw;
      printMessage(failure.message);
      if (code == kOk) code = failure.code;
    }
  }
  return code;
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
  const auto mv = subcommand(app, run, "mv", "rename or move a phone file or directory", &moveCommand);
  addPhonePath(mv.app, "SRC", mv.options->source, "phone path");
  addPhonePath(mv.app, "DST", mv.options->dest, "new phone path", korvex::kMaxRenameDest);
};

const AddCommand addRemove = [](CLI::App& app, Run& run) {
  pathSubcommand(app, run, "rm", "delete a phone file", &removeCommand, "phone file");
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
