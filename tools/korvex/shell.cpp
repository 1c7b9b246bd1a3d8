// shell: one session for many commands, typed on a terminal or read from a
// batch file. Each line goes through the same subcommands as a command line
// of its own, with relative phone paths taken against the shell's working
// directory.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <system_error>
#include <vector>

#include "commands.h"
#include "console.h"
#include "line_reader.h"
#include "local_command.h"
#include "local_files.h"
#include "phone_config.h"
#include "user_files.h"
#include "korvex.hpp"
#include "shell_text.h"
#include "stop_signals.h"
#include "text.h"

namespace korvex::cli {

namespace {

namespace fs = std::filesystem;

// Phone commands that change nothing: the listings Tab completes from stay.
const std::vector<std::string> kReadOnly = {"ls", "tree", "stat", "df", "state", "get"};
// Phone commands whose path defaults to the working directory, and how
// their help says so (a command line of its own defaults otherwise, or not).
const struct {
  const char* command;
  const char* path;
} kDefaultToHere[] = {
    {"ls", "phone directory or file (the working directory without one)"},
    {"tree", "phone directory (the working directory without one)"},
    {"df", "phone path (the working directory without one)"},
};

struct Outcome {
  int status = kOk;
  bool exit = false;
};

class Shell {
 public:
  explicit Shell(Context& context) : context_(context) { setPhoneWorkingDirectory(directory_); }
  ~Shell() { setPhoneWorkingDirectory({}); }
  Shell(const Shell&) = delete;
  Shell& operator=(const Shell&) = delete;

  // Lines typed (or piped) until exit or the end of the input.
  int interactive() {
    const bool terminal = inputIsTerminal();
    // A phone that cannot be reached is said before the first prompt; each
    // phone command tries again.
    try {
      context_.phone();
    } catch (const Failure& failure) {
      printMessage(failure.message);
    }
    const std::unique_ptr<LineReader> reader =
        terminal ? terminalReader([this](std::string_view before) { return complete(before); })
                 : streamReader(std::cin);
    int status = kOk;
    while (const auto line = reader->read("korvex " + context_.address() + ":" + directory_ + "> ")) {
      const Outcome outcome = execute(*line);
      if (outcome.exit) return status;
      status = outcome.status;
    }
    if (terminal) std::printf("\n");
    return stopSignal ? kSignalBase + stopSignal : status;  // ended by SIGTERM at the prompt
  }

  // The lines in order; the first that fails, unless it starts with '-',
  // ends the batch with its status.
  int batch(std::istream& in) {
    int status = kOk;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const std::size_t start = line.find_first_not_of(" \t");
      if (start == std::string::npos || line[start] == '#') continue;
      const bool tolerated = line[start] == '-';
      // What the line says of its failure names the line: one message, not two.
      const MessagePrefix prefix("batch line " + std::to_string(number) + ": ");
      const std::size_t before = messagesPrinted();
      const Outcome outcome = execute(line.substr(start + (tolerated ? 1 : 0)));
      if (outcome.exit) return status;
      status = outcome.status;
      if (status != kOk && !tolerated) {
        if (messagesPrinted() == before) printMessage("failed with exit status " + std::to_string(status));
        return status;
      }
    }
    return status;
  }

 private:
  using Builtin = int (Shell::*)(const std::vector<std::string>& arguments);
  struct BuiltinCommand {
    const char* name;
    const char* usage;
    const char* description;
    Builtin run;
  };
  static const BuiltinCommand kBuiltins[6];

  // One line; a failure is printed and becomes the outcome's status.
  Outcome execute(const std::string& line) {
    clearStop();
    try {
      const std::size_t start = line.find_first_not_of(" \t");
      if (start != std::string::npos && line[start] == '!') return {local(line.substr(start + 1)), false};
      SplitLine split = splitLine(line);
      if (!split.error.empty()) throw Failure{kUsage, split.error};
      const std::vector<std::string>& words = split.words;
      if (words.empty()) return {};
      if (words.front() == "exit" || words.front() == "quit") {
        if (words.size() > 1) throw Failure{kUsage, words.front() + ": takes no arguments"};
        return {kOk, true};
      }
      for (const BuiltinCommand& builtin : kBuiltins) {
        if (words.front() == builtin.name) return {(this->*builtin.run)({words.begin() + 1, words.end()}), false};
      }
      const int status = phoneCommand(words);
      if (std::find(kReadOnly.begin(), kReadOnly.end(), words.front()) == kReadOnly.end()) listings_.clear();
      return {status, false};
    } catch (const Failure& failure) {
      listings_.clear();
      printMessage(failure.message);
      return {failure.code, false};
    } catch (const std::exception& error) {
      printMessage(std::string("unexpected error: ") + error.what());
      return {kBroken, false};
    }
  }

  // The subcommands as a command line of their own builds them, fresh for
  // each line so that nothing parsed before carries over.
  std::unique_ptr<CLI::App> commandApp(Run& run) const {
    auto app = std::make_unique<CLI::App>("", "");
    app->allow_windows_style_options(false);
    for (const AddCommand add : commandTable()) {
      if (add != addShell) add(*app, run);
    }
    for (const auto& here : kDefaultToHere) {
      CLI::Option* path = app->get_subcommand(here.command)->get_option("PATH");
      path->required(false)->run_callback_for_default()->default_val(".")->description(here.path);
    }
    return app;
  }

  int phoneCommand(const std::vector<std::string>& words) {
    Run run;
    const std::unique_ptr<CLI::App> app = commandApp(run);
    const auto known = app->get_subcommands([&](CLI::App* command) { return command->get_name() == words.front(); });
    if (known.empty()) throw Failure{kUsage, words.front() + ": no such command (help lists them)"};
    try {
      app->parse(std::vector<std::string>(words.rbegin(), words.rend()));
    } catch (const CLI::CallForHelp& help) {
      return app->exit(help);
    } catch (const CLI::ParseError& error) {
      throw Failure{kUsage, usageMessage(words.front(), error)};
    }
    if (context_.dropLostSession()) {
      printMessage("the connection to " + context_.address() + " was lost; connecting again");
    }
    return run(context_);
  }

  int local(const std::string& command) {
    if (command.find_first_not_of(" \t") == std::string::npos) throw Failure{kUsage, "!: give a command to run"};
    const int status = runLocalCommand(command);
    if (status < 0) throw Failure{kLocalFile, "!: the local command could not be run"};
    return status;
  }

  int changeDirectory(const std::vector<std::string>& arguments) {
    if (arguments.size() > 1) throw Failure{kUsage, "cd: takes one directory"};
    std::string target = arguments.empty() ? "/" : phonePathArgument(arguments.front());
    if (target.empty()) throw Failure{kUsage, "cd: a phone path cannot be empty"};
    if (target.size() > 1 && target.back() == '/') target.pop_back();
    if (context_.dropLostSession()) {
      printMessage("the connection to " + context_.address() + " was lost; connecting again");
    }
    const korvex::Session& phone = context_.phone();
    if (!yes(phone.is_directory(target))) throw directoryRefusal(phone, "cd", target);
    directory_ = target;
    setPhoneWorkingDirectory(directory_);
    return kOk;
  }

  int printDirectory(const std::vector<std::string>& arguments) {
    if (!arguments.empty()) throw Failure{kUsage, "pwd: takes no arguments"};
    std::printf("%s\n", shown(directory_).c_str());
    return kOk;
  }

  // As a shell's cd: home without a directory, and ~ stands for home.
  int changeLocalDirectory(const std::vector<std::string>& arguments) {
    if (arguments.size() > 1) throw Failure{kUsage, "lcd: takes one local directory"};
    const std::string given = arguments.empty() ? "~" : arguments.front();
    std::string target = given;
    if (given == "~" || given.starts_with("~/")) {
      const std::string home = homeDirectory();
      if (home.empty()) throw Failure{kLocalFile, "lcd: no home directory is known"};
      target = expandHome(given, home);
    }
    std::error_code error;
    fs::current_path(localPathOf(target), error);
    if (error) throw Failure{kLocalFile, "lcd: " + target + ": " + error.message()};
    return kOk;
  }

  int printLocalDirectory(const std::vector<std::string>& arguments) {
    if (!arguments.empty()) throw Failure{kUsage, "lpwd: takes no arguments"};
    std::error_code error;
    const fs::path here = fs::current_path(error);
    if (error) throw Failure{kLocalFile, "lpwd: " + error.message()};
    std::printf("%s\n", shown(localText(here)).c_str());
    return kOk;
  }

  int listLocal(const std::vector<std::string>& arguments) {
    // With options, the system's own listing takes them all.
    if (std::any_of(arguments.begin(), arguments.end(), [](const std::string& a) { return a.starts_with('-'); })) {
      const int status = runLocalListing(arguments);
      if (status < 0) throw Failure{kLocalFile, "lls: the local listing could not be run"};
      return status;
    }
    if (arguments.size() > 1) throw Failure{kUsage, "lls: takes at most one local directory"};
    const std::string directory = arguments.empty() ? "." : arguments.front();
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(localPathOf(directory), error), end; !error && it != end; it.increment(error)) {
      names.push_back(localText(it->path().filename()) + (it->is_directory() ? "/" : ""));
    }
    if (error) throw Failure{kLocalFile, "lls: " + directory + ": " + error.message()};
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) std::printf("%s\n", shown(name).c_str());
    return kOk;
  }

  int help(const std::vector<std::string>& arguments) {
    if (arguments.size() > 1) throw Failure{kUsage, "help: takes at most one command"};
    Run run;
    const std::unique_ptr<CLI::App> app = commandApp(run);
    if (!arguments.empty()) return helpOn(*app, arguments.front());
    std::printf("Phone commands (help COMMAND for its options):\n");
    for (const CLI::App* command : app->get_subcommands({})) {
      std::printf("  %-8s %s\n", command->get_name().c_str(), command->get_description().c_str());
    }
    std::printf("Shell commands:\n");
    for (const BuiltinCommand& builtin : kBuiltins) {
      std::printf("  %-14s %s\n", builtin.usage, builtin.description);
    }
    std::printf("  %-14s %s\n", "!COMMAND", "run a command in the local shell");
    std::printf("  %-14s %s\n", "exit, quit", "leave the shell with the last command's status");
    return kOk;
  }

  // One command's help: a phone command's options, or a shell command's line.
  int helpOn(CLI::App& app, const std::string& name) const {
    for (CLI::App* command : app.get_subcommands({})) {
      if (command->get_name() == name) {
        std::printf("%s", command->help().c_str());
        return kOk;
      }
    }
    for (const BuiltinCommand& builtin : kBuiltins) {
      if (name == builtin.name) {
        std::printf("%s: %s\n", builtin.usage, builtin.description);
        return kOk;
      }
    }
    throw Failure{kUsage, "help: " + name + ": no such command (help lists them)"};
  }

  std::vector<std::string> commandNames() const {
    Run run;
    const std::unique_ptr<CLI::App> app = commandApp(run);  // owns the subcommands listed
    std::vector<std::string> names;
    for (const CLI::App* command : app->get_subcommands({})) names.push_back(command->get_name());
    for (const BuiltinCommand& builtin : kBuiltins) names.push_back(builtin.name);
    names.insert(names.end(), {"exit", "quit"});
    return names;
  }

  // Tab: names from one batched listing per directory, kept until a
  // command may have changed the phone.
  Completion complete(std::string_view before) {
    static const std::vector<std::string> kLocalOnly = {"lcd", "lls", "lpwd", "pwd", "help", "exit", "quit"};
    std::vector<std::string> names = commandNames();
    std::vector<std::string> phoneCommands;
    std::copy_if(names.begin(), names.end(), std::back_inserter(phoneCommands), [](const std::string& name) {
      return std::find(kLocalOnly.begin(), kLocalOnly.end(), name) == kLocalOnly.end();
    });
    return completeLine(before, names, phoneCommands, directory_, [this](const std::string& directory) {
      return listing(directory);
    });
  }

  std::optional<std::vector<std::string>> listing(const std::string& directory) {
    if (const auto cached = listings_.find(directory); cached != listings_.end()) return cached->second;
    try {
      const auto listed = korvex::tree_names(context_.phone(), directory);
      if (!listed) return std::nullopt;
      std::vector<std::string> names;
      for (const korvex::TreeName& entry : *listed) names.push_back(entry.name + (entry.is_directory ? "/" : ""));
      return listings_[directory] = std::move(names);
    } catch (const Failure&) {
      return std::nullopt;  // no session: nothing to complete
    }
  }

  Context& context_;
  std::string directory_ = "/";
  std::map<std::string, std::vector<std::string>> listings_;
};

const Shell::BuiltinCommand Shell::kBuiltins[6] = {
    {"cd", "cd [DIR]", "change the phone working directory (/ without DIR)", &Shell::changeDirectory},
    {"pwd", "pwd", "show the phone working directory", &Shell::printDirectory},
    {"lcd", "lcd [DIR]", "change the local working directory (home without DIR; ~ is home)",
     &Shell::changeLocalDirectory},
    {"lpwd", "lpwd", "show the local working directory", &Shell::printLocalDirectory},
    {"lls", "lls [-l] [DIR]", "list a local directory (options go to the system's ls)", &Shell::listLocal},
    {"help", "help [COMMAND]", "list the commands, or show one's help", &Shell::help},
};

struct ShellOptions {
  std::string batch;  // a file of commands; "-" for standard input
};

int shellCommand(Context& context, const ShellOptions& options) {
  Shell shell(context);
  if (options.batch.empty()) return shell.interactive();
  if (options.batch == "-") return shell.batch(std::cin);
  std::ifstream in(localPathOf(options.batch), std::ios::binary);
  if (!in) throw Failure{kLocalFile, "shell: " + options.batch + ": cannot be opened"};
  return shell.batch(in);
}

}  // namespace

int runShell(Context& context) { return shellCommand(context, {}); }

const AddCommand addShell = [](CLI::App& app, Run& run) {
  const auto shell = subcommand(app, run, "shell",
                                "run commands on one session: typed (the default with no command on a terminal) "
                                "or from a batch file",
                                &shellCommand);
  shell.app->add_option("-b,--batch", shell.options->batch,
                        "run the commands in FILE (- for standard input); the first that fails ends it, "
                        "unless its line starts with -")
      ->type_name("FILE");
};

}  // namespace korvex::cli
