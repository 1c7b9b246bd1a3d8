// How a subcommand puts itself on the command line: its own options, and
// the command it runs once it is the one given.
#pragma once

#include <CLI/CLI.hpp>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "context.h"
#include "copy_support.h"

namespace korvex::cli {

// The chosen command, run once the command line is parsed.
using Run = std::function<int(Context&)>;

// The directory relative phone paths are taken against: the shell sets its
// working directory; empty (one command per process) leaves them as given.
void setPhoneWorkingDirectory(std::string directory);
// Whether a command runs in the shell: a working directory is set.
bool inShell();
// A phone path from the command line as phone text, resolved against that
// directory (the root outside the shell), "." and ".." taken out.
std::string phonePathArgument(const std::string& text);

// A parse error of `command`'s line as one message, "COMMAND: what", the
// command named once.
std::string usageMessage(const std::string& command, const CLI::Error& error);

// A phone path argument: phone text, not empty, at most `limit` bytes.
CLI::Validator phonePath(std::size_t limit);
// Adds the required phone path argument `name` to `app`.
CLI::Option* addPhonePath(CLI::App* app, const char* name, std::string& path, const char* description,
                          std::size_t limit = korvex::kMaxPath);
// The same for one or more phone paths.
CLI::Option* addPhonePaths(CLI::App* app, const char* name, std::vector<std::string>& paths, const char* description);

// --progress auto|always|never, into `progress`.
void addProgressOption(CLI::App* app, ProgressMode& progress);

template <typename Options>
struct Subcommand {
  CLI::App* app;
  std::shared_ptr<Options> options;  // what the subcommand's options parse into
};

// Adds subcommand `name`; once it is the one given, `run` runs `command` on
// its options. Options with a check() have it called first: a
// CLI::ValidationError there is a usage error.
template <typename Options>
Subcommand<Options> subcommand(CLI::App& parent, Run& run, const char* name, const char* description,
                               int (*command)(Context&, const Options&)) {
  auto options = std::make_shared<Options>();
  CLI::App* app = parent.add_subcommand(name, description);
  app->callback([options, command, &run] {
    if constexpr (requires(Options& o) { o.check(); }) options->check();
    run = [options, command](Context& context) { return command(context, *options); };
  });
  return {app, options};
}

// A flag of a subcommand's options; no names, no flag.
template <typename Options>
struct Flag {
  const char* names = nullptr;
  bool Options::*field = nullptr;
  const char* description = "";
};

// A subcommand on one phone path, PATH, with at most one flag.
template <typename Options>
Subcommand<Options> pathSubcommand(CLI::App& parent, Run& run, const char* name, const char* description,
                                   int (*command)(Context&, const Options&), const char* pathDescription,
                                   Flag<Options> flag = {}) {
  const Subcommand<Options> added = subcommand(parent, run, name, description, command);
  if (flag.names) added.app->add_flag(flag.names, (*added.options).*flag.field, flag.description);
  addPhonePath(added.app, "PATH", added.options->path, pathDescription);
  return added;
}

}  // namespace korvex::cli
