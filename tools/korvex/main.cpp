// korvex: the command-line client of the phone's file service.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <CLI/CLI.hpp>

#include "commands.h"

using namespace korvex::cli;

namespace {

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

void addGlobalOptions(CLI::App& app, Globals& globals) {
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
}

// "Exit codes: 0 ok, 1 refused by the phone, ...", in lines of at most 100 columns.
std::string exitCodesFooter() {
  std::string text, line = "Exit codes:";
  for (const ExitCodeMeaning& entry : kExitCodes) {
    const bool last = &entry == std::end(kExitCodes) - 1;
    const std::string item = exitCodeLabel(entry.code) + " " + entry.meaning + (last ? "." : ",");
    if (line.size() + 1 + item.size() > 100) {
      text += line + "\n";
      line = item;
    } else {
      line += " " + item;
    }
  }
  return text + line;
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
  if (password.size() > korvex::kMaxPassword) {
    throw Failure{kUsage, "the password is longer than " + std::to_string(korvex::kMaxPassword) + " bytes"};
  }
  return password;
}

void startLog(const Globals& globals) {
  if (!globals.logOption->count() && !globals.logLevelOption->count()) return;
  if (!korvex::enable_log(globals.logLevel, globals.logFile) && !globals.logFile.empty()) {
    korvex::disable_log();
    throw Failure{kLocalFile, "--log: " + globals.logFile + ": cannot be opened (or longer than " +
                              std::to_string(KORVEX_MAX_LOG_PATH) + " bytes)"};
  }
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
  app.footer(exitCodesFooter());
  Globals globals;
  addGlobalOptions(app, globals);
  Run run;
  // In the order --help lists them.
  for (const AddCommand add : {addList, addTree, addStat, addGet, addPut, addSync, addMove, addRemove,
                               addRemoveDirectory, addMakeDirectory, addChown, addFreeSpace, addState, addPower}) {
    add(app, run);
  }

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
