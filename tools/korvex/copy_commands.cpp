// get and put: one file by one background copy, or several files and whole
// trees (-r) by a plan run on a pool of sessions.
#include <algorithm>
#include <string>
#include <vector>

#include "commands.h"
#include "copy_plan.h"
#include "file_copy.h"
#include "glob.h"
#include "local_files.h"
#include "parallel_copy.h"
#include "phone_glob.h"

namespace korvex::cli {

namespace {

struct CopyArguments {
  const char* command = "";
  std::vector<std::string> paths;  // the sources, then the destination
  TreeCopyOptions options;

  void check() const {
    if (paths.size() < 2) throw CLI::ValidationError(command, "needs a source and a destination");
  }
  std::vector<std::string> sources() const { return {paths.begin(), paths.end() - 1}; }
};

// Several files, or whole trees: planned first, then copied in parallel on a
// pool of sessions.
int copyPlanned(Context& context, Direction direction, const std::vector<std::string>& sources,
                const std::string& dest, const TreeCopyOptions& options) {
  StopSignals signals;
  const korvex::Session& phone = context.phone();
  const bool get = direction == Direction::Get;
  Plan plan = get ? planGet(phone, sources, dest, options.recursive) : planPut(phone, sources, dest, options.recursive);
  if (stopSignal) {
    throw Failure{kSignalBase + stopSignal, std::string(get ? "get" : "put") + ": cancelled before the copy started"};
  }
  return ParallelCopy(phone, {context.address(), context.password()}, direction, options).run(plan);
}

int getCommand(Context& context, const CopyArguments& arguments) {
  std::vector<std::string> sources = arguments.sources();
  const std::string& local = arguments.paths.back();
  for (std::string& source : sources) {
    source = phoneArgument(source);
    if (source.empty() || source.size() > korvex::kMaxPath) {
      throw Failure{kUsage, "get: " + source.substr(0, 40) + ": not a usable phone path"};
    }
  }
  // Patterns need the session; plain paths leave it to the copy.
  if (std::any_of(sources.begin(), sources.end(), [](const std::string& s) { return isPattern(s); })) {
    sources = expandPhonePaths(context.phone(), "get", sources);
  }
  const TreeCopyOptions& options = arguments.options;
  if (!options.recursive && sources.size() == 1) return getFile(context, sources.front(), local, options.copy);
  return copyPlanned(context, Direction::Get, sources, local, options);
}

int putCommand(Context& context, const CopyArguments& arguments) {
  const std::string dest = phoneArgument(arguments.paths.back());
  if (dest.empty() || dest.size() > korvex::kMaxPath) {
    throw Failure{kUsage, "put: " + dest.substr(0, 40) + ": not a usable phone path"};
  }
  const std::vector<std::string> sources = arguments.sources();
  const TreeCopyOptions& options = arguments.options;
  if (!options.recursive && sources.size() == 1) return putFile(context, sources.front(), dest, options.copy);
  return copyPlanned(context, Direction::Put, sources, dest, options);
}

void addCopyOptions(CLI::App* command, CopyArguments& arguments) {
  TreeCopyOptions& options = arguments.options;
  command->add_flag("-r,--recursive", options.recursive, "copy directories with everything in them");
  command
      ->add_option("-j,--jobs", options.jobs, "copies at once, each on a session of its own (trees and several files)")
      ->type_name("N")
      ->check(CLI::Range(1, 64))
      ->capture_default_str();
  command->add_option("--start-timeout", options.copy.startTimeoutSeconds,
                      "seconds to wait for a single file's copy to connect and log in")
      ->type_name("SECONDS")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  ProgressMode& progress = options.copy.progress;
  command
      ->add_option_function<std::string>(
          "--progress",
          [&progress](const std::string& mode) {
            progress = mode == "always" ? ProgressMode::Always
                       : mode == "never" ? ProgressMode::Never
                                         : ProgressMode::Auto;
          },
          "progress bar: auto (only on a terminal), always or never")
      ->type_name("MODE")
      ->check(CLI::IsMember({"auto", "always", "never"}));
}

// get and put, which differ in their direction alone.
void addCopyCommand(CLI::App& app, Run& run, const char* name, const char* description, const char* pathsDescription,
                    int (*command)(Context&, const CopyArguments&)) {
  const auto copy = subcommand(app, run, name, description, command);
  copy.options->command = name;
  copy.app->add_option("PATHS", copy.options->paths, pathsDescription)->required();
  addCopyOptions(copy.app, *copy.options);
}

}  // namespace

const AddCommand addGet = [](CLI::App& app, Run& run) {
  addCopyCommand(app, run, "get", "copy phone files or trees (-r) to a local file or directory",
                 "PHONE... LOCAL: phone files or directories, then the local destination", &getCommand);
};

const AddCommand addPut = [](CLI::App& app, Run& run) {
  addCopyCommand(app, run, "put", "copy local files or trees (-r) to a phone file or directory",
                 "LOCAL... PHONE: local files or directories, then the phone destination", &putCommand);
};

}  // namespace korvex::cli
