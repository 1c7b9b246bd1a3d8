// korvex: the command-line client of the phone's file service.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli11_docs.h"
#include "commands.h"
#include "console.h"
#include "login_settings.h"

using namespace korvex::cli;

namespace {

struct Globals {
  std::string host = "127.0.0.1";
  std::string password;
  std::string passwordFile;
  std::string phone;
  std::string logFile;
  unsigned logLevel = 6;
  bool quiet = false;
  bool verbose = false;
  CLI::Option* hostOption = nullptr;
  CLI::Option* phoneOption = nullptr;
  CLI::Option* passwordOption = nullptr;
  CLI::Option* passwordFileOption = nullptr;
  CLI::Option* logOption = nullptr;
  CLI::Option* logLevelOption = nullptr;
};

void addGlobalOptions(CLI::App& app, Globals& globals) {
  globals.hostOption = app.add_option("--host", globals.host,
                                      "the phone's file service (port 2323 unless given; else KORVEX_HOST)")
                           ->type_name("ADDR[:PORT]")
                           ->capture_default_str();
  globals.phoneOption = app.add_option("--phone", globals.phone,
                                       "host= and password-file= of [NAME] in ~/.config/korvex/config (else "
                                       "of [default])")
                            ->type_name("NAME");
  globals.passwordOption = app.add_option("--password", globals.password,
                                          "login password (visible to other users: prefer the file or "
                                          "KORVEX_PASSWORD)")
                                ->type_name("PW");
  globals.passwordFileOption =
      app.add_option("--password-file", globals.passwordFile, "read the password from the first line of FILE (which others must not read: chmod 600)")
          ->type_name("FILE");
  globals.passwordOption->excludes(globals.passwordFileOption);
  globals.logOption = app.add_option("--log", globals.logFile, "append the library's log to FILE")->type_name("FILE");
  globals.logLevelOption = app.add_option("--log-level", globals.logLevel,
                                          "log detail: 3 errors ... 7 trace, 8 all (default 6; log to stderr "
                                          "without --log)")
                               ->type_name("N")
                               ->check(CLI::Range(0, 8));
  auto* quiet = app.add_flag("-q,--quiet", globals.quiet,
                             "get and put: no progress bar and no summary line (failures are still reported)");
  app.add_flag("-v,--verbose", globals.verbose, "name the address connected to, and each file a tree copy moved")
      ->excludes(quiet);
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

// The man page's sections that --help has no place for.
korvex::docs::Page manPageExtras() {
  korvex::docs::Page page;
  page.version = KORVEX_CLI_VERSION;
  page.description =
      "korvex runs one command on a phone's files, through the phone's file service, and exits.\n"
      "Global options may come before or after the command. Phone paths are taken from the root (a leading / is "
      "optional), with . and .. taken out as a shell would: /DCIM/../ is /.";
  page.environment = {
      {"KORVEX_PASSWORD", "the login password, when neither --password nor --password-file is given"},
      {"KORVEX_HOST", "the phone's address, when neither --host nor --phone is given"},
      {"XDG_CONFIG_HOME", "where korvex/config, the file naming phones for --phone, is looked for (default ~/.config)"}};
  for (const ExitCodeMeaning& entry : kExitCodes) page.exitStatus.push_back({exitCodeLabel(entry.code), entry.meaning});
  return page;
}

template <typename T>
std::optional<T> given(const CLI::Option* option, const T& value) {
  return option->count() ? std::optional<T>(value) : std::nullopt;
}

struct Login {
  std::string host, password;
};

Login resolveLogin(const Globals& globals) {
  const LoginSettings settings = readLoginSettings({given(globals.hostOption, globals.host),
                                                    given(globals.passwordOption, globals.password),
                                                    given(globals.passwordFileOption, globals.passwordFile),
                                                    given(globals.phoneOption, globals.phone)});
  switch (settings.problem) {
    case LoginSettings::Problem::None: return {settings.host, settings.password};
    case LoginSettings::Problem::LocalFile: throw Failure{kLocalFile, settings.message};
    case LoginSettings::Problem::Usage: break;
  }
  throw Failure{kUsage, settings.message};
}

void startLog(const Globals& globals) {
  if (!globals.logOption->count() && !globals.logLevelOption->count()) return;
  if (!korvex::enable_log(globals.logLevel, globals.logFile) && !globals.logFile.empty()) {
    korvex::disable_log();
    throw Failure{kLocalFile, "--log: " + globals.logFile + ": cannot be opened (or longer than " +
                              std::to_string(KORVEX_MAX_LOG_PATH) + " bytes)"};
  }
}

// Whether a parse error is about one of the global options, which may
// follow the command too.
bool isGlobalOptionError(const CLI::App& app, const CLI::ParseError& error) {
  const std::string what = error.what();
  for (const CLI::Option* option : app.get_options()) {
    if (what.starts_with(option->get_name() + ":")) return true;
  }
  return false;
}

}  // namespace

std::span<const AddCommand> korvex::cli::commandTable() {
  // In the order --help lists them.
  static const AddCommand table[] = {addList,  addTree,      addStat,  addCat,   addGet,   addPut,
                                     addSync,  addMove,      addRemove, addRemoveDirectory, addMakeDirectory,
                                     addChown, addFreeSpace, addState, addPower, addShell,
#ifdef KORVEX_WEB
                                     addWeb,
#endif
  };
  return table;
}

int main(int argc, char** argv) {
  CLI::App app{"Manage the files of a phone over Wi-Fi through its file service.", "korvex"};
  // At most one command; a missing one is reported after parsing, so that an
  // unknown word is named as such rather than as a missing command.
  app.require_subcommand(0, 1);
  // Phone paths start with '/': never read one as a Windows-style option.
  app.allow_windows_style_options(false);
  app.fallthrough();  // global options may follow the command too
  app.set_version_flag("--version", KORVEX_CLI_VERSION);
  Globals globals;
  addGlobalOptions(app, globals);
  Run run;
  for (const AddCommand add : commandTable()) add(app, run);
  // Each command's --help ends with the exit codes too. The program's own
  // footer is set after this: a subcommand copies its parent's when added.
  for (CLI::App* command : app.get_subcommands({})) {
    const std::string own = command->get_footer();
    command->footer(own.empty() ? exitCodesFooter() : own + "\n\n" + exitCodesFooter());
  }
  app.footer(exitCodesFooter());
  korvex::docs::addGenerateOption(app, manPageExtras());

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // Help and version end here with 0.
    if (error.get_exit_code() == 0) return app.exit(error) == 0 ? kOk : kUsage;
    // Every parse error with one code, in one line like every other failure.
    const std::vector<CLI::App*> given = app.get_subcommands();
    const std::string command = given.empty() || isGlobalOptionError(app, error) ? "" : given.front()->get_name();
    printMessage(usageMessage(command, error) + " (see korvex " + (command.empty() ? "" : command + " ") + "--help)");
    return kUsage;
  }
  if (!run && inputIsTerminal()) run = runShell;
  if (!run) {
    printMessage("a command is required (see korvex --help)");
    return kUsage;
  }

  try {
    startLog(globals);
    const Login login = resolveLogin(globals);
    Context context(login.host, login.password,
                    globals.quiet     ? Verbosity::Quiet
                    : globals.verbose ? Verbosity::Verbose
                                      : Verbosity::Normal);
    return run(context);
  } catch (const Failure& failure) {
    printMessage(failure.message);
    return failure.code;
  } catch (const std::exception& error) {
    printMessage(std::string("unexpected error: ") + error.what());
    return kBroken;
  }
}
