// get and put: one file by one background copy, or several files and whole
// trees (-r) by a plan run on a pool of sessions. cat and put - go through a
// temporary local file: a copy needs a file, and an upload its size first.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
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
    if (paths.size() < (inShell() ? 1u : 2u)) throw CLI::ValidationError(command, "needs a source and a destination");
  }
  // In the shell a lone source goes to the working directory, as in sftp.
  bool lone() const { return paths.size() == 1; }
  std::vector<std::string> sources() const { return {paths.begin(), paths.end() - (lone() ? 0 : 1)}; }
  std::string destination() const { return lone() ? "." : paths.back(); }
  // The options with the global -q and -v applied.
  TreeCopyOptions with(const Context& context) const {
    TreeCopyOptions chosen = options;
    chosen.copy.quiet = context.verbosity() == Verbosity::Quiet;
    chosen.copy.verbose = context.verbosity() == Verbosity::Verbose;
    return chosen;
  }
};

// A new empty local file, removed with the object on every way out.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& what) {
    int error = 0;
    path_ = createTemporaryFile(error);
    if (path_.empty()) throw Failure{kLocalFile, what + ": cannot create a temporary file: " + std::strerror(error)};
  }
  ~TemporaryFile() { remove(); }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const std::string& path() const { return path_; }
  // Where the system allows removing an open file, removing it once open
  // leaves nothing behind should the process be killed meanwhile.
  void remove() const {
    std::error_code ignored;
    std::filesystem::remove(localPathOf(path_), ignored);
  }

 private:
  std::string path_;
};

// Standard input into `file`; a stop signal or a size no copy can move ends it.
void spoolInput(const std::string& file) {
  std::FILE* out = std::fopen(file.c_str(), "wb");
  if (!out) throw Failure{kLocalFile, "put: " + file + ": " + std::strerror(errno)};
  std::int64_t total = 0;
  char buffer[64 * 1024];
  std::string failure;
  for (;;) {
    const std::size_t count = std::fread(buffer, 1, sizeof buffer, stdin);
    total += static_cast<std::int64_t>(count);
    if (count > 0 && std::fwrite(buffer, 1, count, out) != count) failure = file + ": cannot be written";
    if (total > kMaxCopySize) failure = std::string("standard input: ") + kTooLarge;
    if (stopSignal || !failure.empty() || count < sizeof buffer) break;
  }
  const bool readError = std::ferror(stdin) != 0;
  if (std::fclose(out) != 0 && failure.empty()) failure = file + ": cannot be written";
  if (stopSignal) throw Failure{kSignalBase + stopSignal, "put: cancelled while reading standard input"};
  if (readError && failure.empty()) failure = "standard input: cannot be read";
  if (!failure.empty()) throw Failure{kLocalFile, "put: " + failure};
}

// put - PHONE: standard input, spooled, then uploaded as one file.
int putInput(Context& context, const std::string& dest, const CopyOptions& options) {
  binaryStandardStreams();
  TemporaryFile spool("put");
  {
    StopSignals signals;
    spoolInput(spool.path());
  }
  return putFile(context, spool.path(), dest, options, "stdin");
}

// Several files, or whole trees: planned first, then copied in parallel on a
// pool of sessions. Once a tree is to be copied the pool logs in while the
// plan is made, and a phone tree's folders are listed side by side on it.
int copyPlanned(Context& context, Direction direction, const std::vector<std::string>& sources,
                const std::string& dest, const TreeCopyOptions& options) {
  StopSignals signals;
  const korvex::Session& phone = context.phone();
  const bool get = direction == Direction::Get;
  ParallelCopy copy(phone, {context.address(), context.password()}, direction, options);
  const PlanAhead ahead = copy.ahead(static_cast<std::size_t>(std::max(options.jobs, 1)));
  Plan plan = get ? planGet(phone, sources, dest, options.recursive, ahead)
                  : planPut(phone, sources, dest, options.recursive, ahead);
  if (stopSignal) {
    throw Failure{kSignalBase + stopSignal, std::string(get ? "get" : "put") + ": cancelled before the copy started"};
  }
  return copy.run(plan);
}

int getCommand(Context& context, const CopyArguments& arguments) {
  std::vector<std::string> sources = arguments.sources();
  const std::string local = arguments.destination();
  for (std::string& source : sources) {
    source = phonePathArgument(source);
    if (source.empty() || source.size() > korvex::kMaxPath) {
      throw Failure{kUsage, "get: " + source.substr(0, 40) + ": not a usable phone path"};
    }
  }
  // Patterns need the session; plain paths leave it to the copy.
  if (std::any_of(sources.begin(), sources.end(), [](const std::string& s) { return isPattern(s); })) {
    sources = expandPhonePaths(context.phone(), "get", sources);
  }
  const TreeCopyOptions options = arguments.with(context);
  if (!options.recursive && sources.size() == 1) return getFile(context, sources.front(), local, options.copy);
  return copyPlanned(context, Direction::Get, sources, local, options);
}

int putCommand(Context& context, const CopyArguments& arguments) {
  const std::string dest = phonePathArgument(arguments.destination());
  if (dest.empty() || dest.size() > korvex::kMaxPath) {
    throw Failure{kUsage, "put: " + dest.substr(0, 40) + ": not a usable phone path"};
  }
  const std::vector<std::string> sources = arguments.sources();
  const TreeCopyOptions options = arguments.with(context);
  if (std::find(sources.begin(), sources.end(), "-") != sources.end()) {
    if (sources.size() > 1 || options.recursive) throw Failure{kUsage, "put: - (standard input) is a single source"};
    return putInput(context, dest, options.copy);
  }
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
  addProgressOption(command, options.copy.progress);
  command->add_flag("--json", options.copy.json,
                    "the summary as one JSON object: {files, arrived, failed, bytes, seconds} (failures still on "
                    "stderr)");
}

struct CatOptions {
  std::string path;
};

// The file whole into a temporary one, then its bytes to standard output:
// nothing is written unless every byte arrived.
int catCommand(Context& context, const CatOptions& options) {
  binaryStandardStreams();
  TemporaryFile copy("cat");
  CopyOptions quiet;
  quiet.progress = ProgressMode::Never;
  quiet.quiet = true;
  try {
    getFile(context, options.path, copy.path(), quiet);
  } catch (Failure& failure) {
    // Told as cat's own failure; the hint about -r is get's.
    if (failure.message.starts_with("get: ")) failure.message.replace(0, 3, "cat");
    if (failure.message.ends_with(" (use -r)")) failure.message.resize(failure.message.size() - 9);
    throw;
  }
  std::FILE* in = std::fopen(copy.path().c_str(), "rb");
  if (!in) throw Failure{kLocalFile, "cat: " + copy.path() + ": " + std::strerror(errno)};
  copy.remove();
  char buffer[64 * 1024];
  bool written = true;
  std::size_t count = 0;
  while (written && (count = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
    written = std::fwrite(buffer, 1, count, stdout) == count;
  }
  const bool readError = std::ferror(in) != 0;
  std::fclose(in);
  if (std::fflush(stdout) != 0 || !written) throw Failure{kLocalFile, "cat: standard output: cannot be written"};
  if (readError) throw Failure{kLocalFile, "cat: " + copy.path() + ": cannot be read"};
  return kOk;
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
                 "PHONE... LOCAL: phone files or directories, then the local destination (in the shell, without "
                 "one: the local working directory)", &getCommand);
};

const AddCommand addPut = [](CLI::App& app, Run& run) {
  addCopyCommand(app, run, "put", "copy local files or trees (-r) to a phone file or directory",
                 "LOCAL... PHONE: local files or directories (- for standard input), then the phone destination (in "
                 "the shell, without one: the phone working directory)",
                 &putCommand);
};

const AddCommand addCat = [](CLI::App& app, Run& run) {
  pathSubcommand(app, run, "cat", "write a phone file to standard output", &catCommand, "phone file");
};

}  // namespace korvex::cli
