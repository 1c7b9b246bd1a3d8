// korvex: the command-line client of the phone's file service.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli11_docs.h"
#include "commands.h"
#include "console.h"
#include "local_files.h"
#include "phone_config.h"

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
      "Global options may come before or after the command. Phone paths are absolute, as the phone names them.";
  page.environment = {
      {"KORVEX_PASSWORD", "the login password, when neither --password nor --password-file is given"},
      {"KORVEX_HOST", "the phone's address, when neither --host nor --phone is given"},
      {"XDG_CONFIG_HOME", "where korvex/config, the file naming phones for --phone, is looked for (default ~/.config)"}};
  for (const ExitCodeMeaning& entry : kExitCodes) page.exitStatus.push_back({exitCodeLabel(entry.code), entry.meaning});
  return page;
}

// The first line of the file, without its line end.
// `what` names where the path came from, for the message.
std::string readPasswordFile(const std::string& what, const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Failure{kLocalFile, what + path + ": " + std::strerror(errno)};
  std::string line;
  std::getline(in, line);
  if (in.bad()) throw Failure{kLocalFile, what + path + ": cannot be read"};
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::optional<std::string> variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

template <typename T>
std::optional<T> given(const CLI::Option* option, const T& value) {
  return option->count() ? std::optional<T>(value) : std::nullopt;
}

// The configuration file, read only when it may decide something.
struct Config {
  std::string path;
  ConfigText text;
};

Config readConfig(const std::string& path, bool required) {
  Config config{path, {}};
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (required) throw Failure{kUsage, "--phone: " + path + ": " + std::strerror(errno)};
    return config;
  }
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  config.text = parseConfig(text);
  if (!config.text.error.empty()) throw Failure{kUsage, path + ": " + config.text.error};
  for (const ConfigSection& section : config.text.sections) {
    for (const ConfigEntry& entry : section.entries) {
      if (entry.key != "host" && entry.key != "password-file") {
        throw Failure{kUsage, path + ": line " + std::to_string(entry.line) + ": unknown key " + entry.key +
                                  " (host and password-file are known)"};
      }
    }
  }
  return config;
}

struct Login {
  std::string host, password;
};

Login resolveLogin(const Globals& globals) {
  LoginSources sources{given(globals.hostOption, globals.host),
                       given(globals.passwordOption, globals.password),
                       given(globals.passwordFileOption, globals.passwordFile),
                       nullptr,
                       variable("KORVEX_HOST"),
                       variable("KORVEX_PASSWORD"),
                       nullptr};
  const bool named = globals.phoneOption->count() > 0;
  const bool settled = sources.host && (sources.password || sources.passwordFile);
  Config config;
  if (named || !settled) {
    const std::string path = configFilePath();
    if (path.empty() && named) throw Failure{kUsage, "--phone: no home directory to find the configuration file in"};
    if (!path.empty()) config = readConfig(path, named);
    if (named) {
      sources.phone = config.text.find(globals.phone);
      if (!sources.phone) throw Failure{kUsage, "--phone " + globals.phone + ": no such phone in " + path};
    }
    sources.fallback = config.text.find("default");
  }
  const LoginChoice choice = chooseLogin(sources);
  if (const std::string problem = addressProblem(choice.host); !problem.empty()) {
    throw Failure{kUsage, choice.host + ": " + problem};
  }
  std::string password;
  switch (choice.password.kind) {
    case Credential::Kind::Text:
      password = choice.password.value;
      break;
    case Credential::Kind::File: {
      const bool configured = choice.password.fromConfig;
      const std::string file = configured ? expandHome(choice.password.value, homeDirectory()) : choice.password.value;
      // As ssh does for keys, however they are given: a secret others can read is no secret.
      if (openToOthers(file)) throw Failure{kUsage, file + ": the password file is readable by others (chmod 600 it)"};
      password = readPasswordFile(configured ? config.path + ": password-file " : "--password-file: ", file);
      break;
    }
    case Credential::Kind::None:
      throw Failure{kUsage, "no password: give --password, --password-file, --phone or set KORVEX_PASSWORD"};
  }
  if (password.size() > korvex::kMaxPassword) {
    throw Failure{kUsage, "the password is longer than " + std::to_string(korvex::kMaxPassword) + " bytes"};
  }
  return {choice.host, password};
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
  app.footer(exitCodesFooter());
  Globals globals;
  addGlobalOptions(app, globals);
  Run run;
  for (const AddCommand add : commandTable()) add(app, run);
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
