// korvex-mount: the phone's files as a local folder, through FUSE.
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "filesystem.h"
#include "korvex.hpp"
#include "note.h"
#include "phone.h"

namespace korvex::mount {
namespace {

// The client's exit codes, where they apply.
constexpr int kMountFailed = 1;
constexpr int kUsage = 2;
constexpr int kNoConnect = 3;
constexpr int kLoginRefused = 4;
constexpr int kLocalFile = 5;

std::FILE* noteOutput = stderr;

struct Settings {
  std::string host = "127.0.0.1";
  std::string passwordFile;
  std::string mountpoint;
  std::string cacheParent;
  std::string unsentDir;
  std::string logFile;
  unsigned logLevel = 6;
  bool foreground = false;
  bool debug = false;
  bool singleThread = false;
  std::vector<std::string> fuseOptions;
  double attrTimeout = 1.0;
  double startTimeout = 10.0;
  std::uint64_t cacheMiB = 2048;
  int copies = 4;
};

int fail(int code, const std::string& message) {
  std::fprintf(stderr, "korvex-mount: %s\n", message.c_str());
  return code;
}

// The first line of the file, without its line end; false when unreadable.
bool readPasswordFile(const std::string& path, std::string& password) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::getline(in, password);
  if (in.bad()) return false;
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return true;
}

// Run in a child process when going to the background: the library's threads
// would not survive the fork, so the mounted process connects on its own.
int checkLogin(const std::string& address, const std::string& password) {
  const pid_t child = fork();
  if (child < 0) return kNoConnect;
  if (child == 0) {
    const korvex::Result<korvex::Session> session = korvex::Session::connect(address, password);
    _exit(static_cast<int>(session.error()));
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

// $XDG_CACHE_HOME/korvex-mount/unsent, else ~/.cache/korvex-mount/unsent.
std::filesystem::path defaultUnsentDir() {
  std::filesystem::path base;
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache && *cache == '/') {
    base = cache;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
      const passwd* entry = getpwuid(getuid());
      home = entry ? entry->pw_dir : nullptr;
    }
    if (!home || !*home) return {};
    base = std::filesystem::path(home) / ".cache";
  }
  return base / "korvex-mount" / "unsent";
}

// With allow_other, other users reach the files as the user who mounted:
// the kernel must check the modes shown.
void addDefaultPermissions(std::vector<std::string>& options) {
  bool allowOther = false;
  for (const std::string& group : options) {
    std::size_t start = 0;
    for (;;) {
      const std::size_t comma = group.find(',', start);
      const std::string option = group.substr(start, comma - start);
      if (option == "default_permissions") return;
      if (option == "allow_other") allowOther = true;
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  if (allowOther) options.push_back("default_permissions");
}

int connectError(int error, const std::string& address) {
  if (error == 2) return fail(kLoginRefused, address + ": login refused (wrong password, or no answer within 3 s)");
  return fail(kNoConnect, address + ": cannot connect");
}

}  // namespace

namespace {

void writeNote(const char* level, const char* format, va_list args) {
  char line[3200];
  std::vsnprintf(line, sizeof line, format, args);
  std::fprintf(noteOutput, "korvex-mount: %s%s\n", level, line);
  std::fflush(noteOutput);
}

}  // namespace

void note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  writeNote("", format, args);
  va_end(args);
}

void noteError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  writeNote("error: ", format, args);
  va_end(args);
}

std::string escapedName(std::string_view name) {
  std::string shown;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F || c == '\\') {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\%03o", byte);
      shown += escape;
    } else {
      shown += c;
    }
  }
  return shown;
}

int run(int argc, char** argv) {
  CLI::App app{
      "Mount a phone's files as a local folder (FUSE). Unmount with fusermount3 -u MOUNTPOINT, "
      "or Ctrl-C in the foreground.",
      "korvex-mount"};
  app.set_version_flag("--version", KORVEX_MOUNT_VERSION);
  Settings settings;
  app.add_option("--host", settings.host, "the phone's file service (port 2323 unless given)")
      ->type_name("ADDR[:PORT]")
      ->capture_default_str();
  app.add_option("--password-file", settings.passwordFile,
                 "read the password from the first line of FILE (else KORVEX_PASSWORD)")
      ->type_name("FILE");
  app.add_flag("-f,--foreground", settings.foreground, "stay in the foreground");
  app.add_flag("-d,--debug", settings.debug, "print every FUSE request (implies -f)");
  app.add_flag("-s,--single-thread", settings.singleThread, "serve one request at a time");
  app.add_option("-o", settings.fuseOptions, "mount options for FUSE (allow_other, ro, ...)")->type_name("OPT[,OPT]");
  app.add_option("--attr-timeout", settings.attrTimeout,
                 "seconds that names, kinds and sizes are kept before the phone is asked again")
      ->check(CLI::Range(0.0, 3600.0))
      ->capture_default_str();
  app.add_option("--cache-size", settings.cacheMiB,
                 "MiB that the local copies of open files may hold together; a larger file cannot be opened")
      ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{1} << 30))
      ->capture_default_str();
  app.add_option("--copies", settings.copies, "file copies to or from the phone at once")
      ->check(CLI::Range(1, 64))
      ->capture_default_str();
  app.add_option("--cache-dir", settings.cacheParent,
                 "where the private cache directory is made (default: $TMPDIR or /tmp)")
      ->type_name("DIR");
  app.add_option("--unsent-dir", settings.unsentDir,
                 "where written files the phone did not take are kept "
                 "(default: $XDG_CACHE_HOME/korvex-mount/unsent or ~/.cache/korvex-mount/unsent)")
      ->type_name("DIR");
  app.add_option("--start-timeout", settings.startTimeout,
                 "seconds a copy may take to connect and log in on its own connection")
      ->check(CLI::Range(0.1, 3600.0))
      ->capture_default_str();
  app.add_option("--log", settings.logFile, "append messages (and the library's log) to FILE")->type_name("FILE");
  auto* logLevel = app.add_option("--log-level", settings.logLevel,
                                  "the library's log detail: 3 errors ... 7 trace, 8 all (off unless given)")
                       ->check(CLI::Range(0, 8));
  app.add_option("MOUNTPOINT", settings.mountpoint, "an existing empty directory")->required();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : kUsage;
  }

  std::string password;
  if (!settings.passwordFile.empty()) {
    if (!readPasswordFile(settings.passwordFile, password)) {
      return fail(kLocalFile, "--password-file: " + settings.passwordFile + ": " + std::strerror(errno));
    }
  } else if (const char* fromEnvironment = std::getenv("KORVEX_PASSWORD")) {
    password = fromEnvironment;
  } else {
    return fail(kUsage, "no password: give --password-file or set KORVEX_PASSWORD");
  }
  if (password.size() > kMaxPassword) return fail(kUsage, "the password is longer than 255 bytes");

  if (!settings.logFile.empty()) {
    noteOutput = std::fopen(settings.logFile.c_str(), "a");
    if (!noteOutput) {
      noteOutput = stderr;
      return fail(kLocalFile, "--log: " + settings.logFile + ": " + std::strerror(errno));
    }
  }
  if (logLevel->count()) korvex::enable_log(settings.logLevel, settings.logFile);

  std::error_code error;
  std::filesystem::path unsent = settings.unsentDir.empty() ? defaultUnsentDir() : std::filesystem::path(settings.unsentDir);
  if (unsent.empty()) return fail(kUsage, "no home directory: give --unsent-dir");
  unsent = std::filesystem::absolute(unsent, error);  // the background process runs in /
  if (error) return fail(kLocalFile, "--unsent-dir: " + error.message());
  std::filesystem::path parent = settings.cacheParent;
  if (parent.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    parent = tmp && *tmp ? tmp : "/tmp";
  }
  parent = std::filesystem::absolute(parent, error);  // the background process runs in /
  std::string cacheTemplate = (parent / "korvex-mount-XXXXXX").string();
  if (error || !mkdtemp(cacheTemplate.data())) {
    return fail(kLocalFile, "cache directory in " + parent.string() + ": " + std::strerror(errno));
  }

  const bool foreground = settings.foreground || settings.debug;
  Phone phone(settings.host, password);
  const int login = foreground ? static_cast<int>(phone.connect().error()) : checkLogin(settings.host, password);
  if (login != 0) {
    std::filesystem::remove_all(cacheTemplate, error);
    return connectError(login, settings.host);
  }

  Options options;
  options.attrTimeout = std::chrono::milliseconds(static_cast<long long>(settings.attrTimeout * 1000));
  options.startTimeout = std::chrono::milliseconds(static_cast<long long>(settings.startTimeout * 1000));
  options.cacheBytes = settings.cacheMiB << 20;
  options.copies = settings.copies;
  options.cacheDir = cacheTemplate;
  options.unsentDir = unsent;
  addDefaultPermissions(settings.fuseOptions);

  // A comma would end the name early in the option list.
  std::string source = settings.host;
  for (char& c : source) {
    if (c == ',') c = '_';
  }
  std::vector<std::string> args{"korvex-mount", "-o", "fsname=korvex@" + source + ",subtype=korvex"};
  if (settings.debug) args.push_back("-d");
  for (const std::string& option : settings.fuseOptions) {
    args.push_back("-o");
    args.push_back(option);
  }
  std::vector<char*> argPointers;
  for (std::string& arg : args) argPointers.push_back(arg.data());
  fuse_args fuseArgs = FUSE_ARGS_INIT(static_cast<int>(argPointers.size()), argPointers.data());

  Filesystem* filesystem = newFilesystem(phone, options);
  const fuse_operations ops = operations();
  int status = kMountFailed;
  if (fuse* fs = fuse_new(&fuseArgs, &ops, sizeof ops, filesystem)) {
    if (fuse_mount(fs, settings.mountpoint.c_str()) == 0) {
      fuse_session* session = fuse_get_session(fs);
      if (fuse_daemonize(foreground ? 1 : 0) == 0 && fuse_set_signal_handlers(session) == 0) {
        int ended;
        if (settings.singleThread) {
          ended = fuse_loop(fs);
        } else {
          fuse_loop_config loop{};
          loop.max_idle_threads = 10;
          ended = fuse_loop_mt(fs, &loop);
        }
        // Positive: the signal that ended it (Ctrl-C, SIGTERM), a normal end.
        status = ended >= 0 ? 0 : kMountFailed;
        if (ended < 0) note("the FUSE loop failed: %s", std::strerror(-ended));
        fuse_remove_signal_handlers(session);
      }
      fuse_unmount(fs);
    }
    fuse_destroy(fs);
  }
  fuse_opt_free_args(&fuseArgs);
  if (deleteFilesystem(filesystem)) {
    noteError("%s: kept: it holds written files that could not be sent nor moved", cacheTemplate.c_str());
  } else {
    std::filesystem::remove_all(cacheTemplate, error);
    if (error) note("%s: not removed: %s", cacheTemplate.c_str(), error.message().c_str());
  }
  return status;
}

}  // namespace korvex::mount

int main(int argc, char** argv) { return korvex::mount::run(argc, argv); }
