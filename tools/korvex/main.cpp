// korvex: the command-line client of the phone's file service.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "local_files.h"

using namespace korvex::cli;

namespace {

constexpr std::size_t kMaxPassword = 255;

CLI::Validator phonePath(std::size_t limit) {
  return CLI::Validator(
      [limit](std::string& value) -> std::string {
        value = phoneArgument(value);
        if (value.empty()) return "a phone path cannot be empty";
        if (value.size() > limit) return "phone path longer than " + std::to_string(limit) + " bytes";
        return {};
      },
      "", "phone path");
}

// The first line of the file, without its line end.
std::string readPasswordFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Failure{kLocalFile, "--password-file: " + path + ": " + std::strerror(errno)};
  std::string line;
  std::getline(in, line);
  if (in.bad()) throw Failure{kLocalFile, "--password-file: " + path + ": cannot be read"};
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

struct Globals {
  std::string host = "127.0.0.1";
  std::string password;
  std::string passwordFile;
  std::string logFile;
  unsigned logLevel = 6;
  CLI::Option* passwordOption = nullptr;
  CLI::Option* passwordFileOption = nullptr;
  CLI::Option* logOption = nullptr;
  CLI::Option* logLevelOption = nullptr;
};

std::string resolvePassword(const Globals& globals) {
  std::string password;
  if (globals.passwordOption->count()) {
    password = globals.password;
  } else if (globals.passwordFileOption->count()) {
    password = readPasswordFile(globals.passwordFile);
  } else if (const char* fromEnvironment = std::getenv("KORVEX_PASSWORD")) {
    password = fromEnvironment;
  } else {
    throw Failure{kUsage, "no password: give --password, --password-file or set KORVEX_PASSWORD"};
  }
  if (password.size() > kMaxPassword) throw Failure{kUsage, "the password is longer than 255 bytes"};
  return password;
}

void startLog(const Globals& globals) {
  if (!globals.logOption->count() && !globals.logLevelOption->count()) return;
  const char* path = globals.logFile.empty() ? nullptr : globals.logFile.c_str();
  if (EnableLog(true, globals.logLevel, path) != 1 && path) {
    EnableLog(false, 0, nullptr);
    throw Failure{kLocalFile, "--log: " + globals.logFile + ": cannot be opened (or longer than 255 bytes)"};
  }
}

void addCopyOptions(CLI::App* command, CopyOptions& options) {
  command->add_option("--start-timeout", options.startTimeoutSeconds,
                      "seconds to wait for the copy's own connection and login")
      ->type_name("SECONDS")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  command
      ->add_option_function<std::string>(
          "--progress",
          [&options](const std::string& mode) {
            options.progress = mode == "always" ? ProgressMode::Always
                               : mode == "never" ? ProgressMode::Never
                                                 : ProgressMode::Auto;
          },
          "progress bar: auto (only on a terminal), always or never")
      ->type_name("MODE")
      ->check(CLI::IsMember({"auto", "always", "never"}));
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Manage the files of a phone over Wi-Fi through its file service.", "korvex"};
  // At most one command; a missing one is reported after parsing, so that an
  // unknown word is named as such rather than as a missing command.
  app.require_subcommand(0, 1);
  // Phone paths start with '/': never read one as a Windows-style option.
  app.allow_windows_style_options(false);
  app.fallthrough();  // global options may follow the command too
  app.set_version_flag("--version", KORVEX_CLI_VERSION);
  app.footer("Exit codes: 0 ok, 1 refused by the phone, 2 usage, 3 cannot connect, 4 login refused,\n"
             "5 local file error, 6 connection lost or copy failed, 128+N copy cancelled by signal N.");

  Globals globals;
  app.add_option("--host", globals.host, "the phone's file service (port 2323 unless given)")
      ->type_name("ADDR[:PORT]")
      ->capture_default_str();
  globals.passwordOption = app.add_option("--password", globals.password,
                                          "login password (visible to other users: prefer the file or "
                                          "KORVEX_PASSWORD)")
                                ->type_name("PW");
  globals.passwordFileOption =
      app.add_option("--password-file", globals.passwordFile, "read the password from the first line of FILE")
          ->type_name("FILE");
  globals.passwordOption->excludes(globals.passwordFileOption);
  globals.logOption = app.add_option("--log", globals.logFile, "append the library's log to FILE")->type_name("FILE");
  globals.logLevelOption = app.add_option("--log-level", globals.logLevel,
                                          "log detail: 3 errors ... 7 trace, 8 all (default 6; log to stderr "
                                          "without --log)")
                               ->type_name("N")
                               ->check(CLI::Range(0, 8));

  // The chosen command, run once the session can be opened.
  std::function<int(Context&)> run;
  std::string path, path2;
  bool flag = false;
  int owner = 0, group = 0;
  CopyOptions copyOptions;

  ListOptions listOptions;
  bool json = false, recursive = false;
  int jobs = 4;
  std::vector<std::string> paths;

  auto* ls = app.add_subcommand("ls", "list a phone directory: its files, one per line, or with -l type and size");
  auto* lsDirectories = ls->add_flag_callback(
      "-d,--directories", [&] { listOptions.which = ListOptions::Which::Directories; },
      "list the subdirectories instead");
  auto* lsFiles = ls->add_flag_callback("-f,--files", [&] { listOptions.which = ListOptions::Which::Files; },
                                        "only the files (the default without -l, -R or --json)");
  ls->add_flag_callback("-a,--all", [&] { listOptions.which = ListOptions::Which::All; },
                        "subdirectories (marked with a trailing /) and files (the default with -l, -R or --json)")
      ->excludes(lsDirectories)
      ->excludes(lsFiles);
  lsFiles->excludes(lsDirectories);
  ls->add_flag("-l,--long", listOptions.longFormat, "show the type (d or -) and the size in bytes of each entry");
  ls->add_flag("-R,--recursive", listOptions.recursive, "the whole tree, as paths relative to PATH");
  ls->add_flag("--json", listOptions.json, "one JSON array of {name, type, size}");
  ls->add_option("PATH", path, "phone directory")->required()->transform(phonePath(kMaxPhonePath));
  ls->callback([&] { run = [&](Context& c) { return listCommand(c, path, listOptions); }; });

  auto* tree = app.add_subcommand("tree", "draw the tree below a phone directory");
  tree->add_option("PATH", path, "phone directory")->required()->transform(phonePath(kMaxPhonePath));
  tree->callback([&] { run = [&](Context& c) { return treeCommand(c, path); }; });

  auto* stat = app.add_subcommand("stat", "show whether a phone path exists, its type and size");
  stat->add_flag("--json", json, "one JSON object of {path, exists, type, size}");
  stat->add_option("PATH", path, "phone path")->required()->transform(phonePath(kMaxPhonePath));
  stat->callback([&] { run = [&](Context& c) { return statCommand(c, path, json); }; });

  // get and put take one or more sources and a destination; with -r or
  // several sources they copy in parallel.
  auto addTreeOptions = [&](CLI::App* command) {
    command->add_flag("-r,--recursive", recursive, "copy directories with everything in them");
    command->add_option("-j,--jobs", jobs, "copies at once, each on a connection of its own")
        ->type_name("N")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();
    addCopyOptions(command, copyOptions);
  };
  auto needTwo = [&](const char* command) {
    if (paths.size() < 2) throw CLI::ValidationError(command, "needs a source and a destination");
  };

  auto* get = app.add_subcommand("get", "copy phone files or trees (-r) to a local file or directory");
  get->add_option("PATHS", paths, "PHONE... LOCAL: phone files or directories, then the local destination")
      ->required();
  addTreeOptions(get);
  get->callback([&] {
    needTwo("get");
    run = [&](Context& c) {
      const std::string local = paths.back();
      paths.pop_back();
      for (std::string& source : paths) {
        source = phoneArgument(source);
        if (source.empty() || source.size() > kMaxPhonePath) throw Failure{kUsage, "get: " + source.substr(0, 40) + ": not a usable phone path"};
      }
      if (!recursive && paths.size() == 1) return getCommand(c, paths.front(), local, copyOptions);
      return getTreeCommand(c, paths, local, {copyOptions, recursive, jobs});
    };
  });

  auto* put = app.add_subcommand("put", "copy local files or trees (-r) to a phone file or directory");
  put->add_option("PATHS", paths, "LOCAL... PHONE: local files or directories, then the phone destination")
      ->required();
  addTreeOptions(put);
  put->callback([&] {
    needTwo("put");
    run = [&](Context& c) {
      const std::string phone = phoneArgument(paths.back());
      paths.pop_back();
      if (phone.empty() || phone.size() > kMaxPhonePath) throw Failure{kUsage, "put: " + phone.substr(0, 40) + ": not a usable phone path"};
      if (!recursive && paths.size() == 1) return putCommand(c, paths.front(), phone, copyOptions);
      return putTreeCommand(c, paths, phone, {copyOptions, recursive, jobs});
    };
  });

  auto* mv = app.add_subcommand("mv", "rename or move a phone file or directory");
  mv->add_option("SRC", path, "phone path")->required()->transform(phonePath(kMaxPhonePath));
  mv->add_option("DST", path2, "new phone path")->required()->transform(phonePath(kMaxRenameDest));
  mv->callback([&] { run = [&](Context& c) { return moveCommand(c, path, path2); }; });

  auto* rm = app.add_subcommand("rm", "delete a phone file");
  rm->add_option("PATH", path, "phone file")->required()->transform(phonePath(kMaxPhonePath));
  rm->callback([&] { run = [&](Context& c) { return removeCommand(c, path); }; });

  auto* rmdir = app.add_subcommand("rmdir", "delete an empty phone directory (a whole tree with -r)");
  rmdir->add_flag("-r,--recursive", flag, "delete the directory with everything in it");
  rmdir->add_option("PATH", path, "phone directory")->required()->transform(phonePath(kMaxPhonePath));
  rmdir->callback([&] { run = [&](Context& c) { return removeDirectoryCommand(c, path, flag); }; });

  auto* mkdir = app.add_subcommand("mkdir", "create a phone directory (its parent must exist, unless -p)");
  mkdir->add_flag("-p,--parents", flag, "create missing parents too; an existing directory is no error");
  mkdir->add_option("PATH", path, "phone directory")->required()->transform(phonePath(kMaxPhonePath));
  mkdir->callback([&] { run = [&](Context& c) { return makeDirectoryCommand(c, path, flag); }; });

  auto* chown = app.add_subcommand("chown", "change the owner and group of a phone path");
  chown->add_option("PATH", path, "phone path")->required()->transform(phonePath(kMaxPhonePath));
  chown->add_option("UID", owner, "numeric owner")->required();
  chown->add_option("GID", group, "numeric group")->required();
  chown->callback([&] { run = [&](Context& c) { return chownCommand(c, path, owner, group); }; });

  auto* df = app.add_subcommand("df", "show the free space for a phone path (the phone's word read as KiB)");
  df->add_flag("--json", json, "one JSON object with the phone's raw word as free, and its unit");
  df->add_option("PATH", path, "phone path")->required()->transform(phonePath(kMaxPhonePath));
  df->callback([&] { run = [&](Context& c) { return freeSpaceCommand(c, path, json); }; });

  auto* state = app.add_subcommand("state", "connect and show the connection state, address and device name");
  state->add_flag("--json", json, "one JSON object of {connected, address, device}");
  state->callback([&] { run = [&](Context& c) { return stateCommand(c, json); }; });
  app.add_subcommand("shutdown", "ask the phone to shut down")->callback([&] {
    run = [&](Context& c) { return powerCommand(c, Power::Shutdown); };
  });
  app.add_subcommand("reboot", "ask the phone to reboot")->callback([&] {
    run = [&](Context& c) { return powerCommand(c, Power::Reboot); };
  });
  app.add_subcommand("restart", "ask the phone to restart its file service")->callback([&] {
    run = [&](Context& c) { return powerCommand(c, Power::Restart); };
  });

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // Help and version end here with 0; every parse error with one code.
    return app.exit(error) == 0 ? kOk : kUsage;
  }
  if (!run) {
    std::fprintf(stderr, "korvex: a command is required\nRun with --help for more information.\n");
    return kUsage;
  }

  try {
    startLog(globals);
    Context context(globals.host, resolvePassword(globals));
    return run(context);
  } catch (const Failure& failure) {
    printMessage(failure.message);
    return failure.code;
  } catch (const std::exception& error) {
    printMessage(std::string("unexpected error: ") + error.what());
    return kBroken;
  }
}
