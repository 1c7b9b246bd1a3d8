#include "command_line.h"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <system_error>

#include "cli11_docs.h"
#include "exit_status.h"

namespace korvex::mount {
namespace {

void addConnectionOptions(CLI::App& app, Settings& settings) {
  app.add_option("--host", settings.host,
                 "the phone's file service (port 2323 unless given; else KORVEX_HOST, else 127.0.0.1)")
      ->type_name("ADDR[:PORT]");
  app.add_option("--phone", settings.phone,
                 "host= and password-file= of [NAME] in ~/.config/korvex/config (else of [default])")
      ->type_name("NAME");
  app.add_option("--password-file", settings.passwordFile,
                 "read the password from the first line of FILE, which others must not read (else "
                 "KORVEX_PASSWORD)")
      ->type_name("FILE");
}

void addFuseOptions(CLI::App& app, Settings& settings) {
  app.add_flag("-f,--foreground", settings.foreground, "stay in the foreground");
  app.add_flag("-d,--debug", settings.debug, "print every FUSE request (implies -f)");
  app.add_flag("-s,--single-thread", settings.singleThread, "serve one request at a time");
  app.add_option("-o", settings.fuseOptions, "mount options for FUSE (allow_other, ro, ...)")->type_name("OPT[,OPT]");
}

void addCacheOptions(CLI::App& app, Settings& settings) {
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
}

CLI::Option* addLogOptions(CLI::App& app, Settings& settings) {
  app.add_option("--log", settings.logFile, "append messages (and the library's log) to FILE")->type_name("FILE");
  return app.add_option("--log-level", settings.logLevel,
                        "the library's log detail: 3 errors ... 7 trace, 8 all (off unless given)")
      ->check(CLI::Range(0, 8));
}

// The man page's sections that --help has no place for.
docs::Page manPageExtras() {
  docs::Page page;
  page.version = KORVEX_MOUNT_VERSION;
  page.description =
      "korvex-mount shows the files of a phone's file service as a local folder at MOUNTPOINT, through FUSE.\n"
      "Unmount with fusermount3 -u MOUNTPOINT, or Ctrl-C in the foreground.\n"
      "The phone keeps no times and no modes: setting times is accepted and ignored, and so is the mode of a file "
      "being written (mv, cp -p, sed -i); chmod of anything else to another mode than the one shown fails (EPERM).";
  page.environment = {{"KORVEX_PASSWORD", "the login password, when neither --password-file nor --phone gives one"},
                      {"KORVEX_HOST", "the phone's address, when neither --host nor --phone gives it"},
                      {"XDG_CONFIG_HOME", "where korvex/config, the file naming phones for --phone, is looked for "
                                          "(default ~/.config)"},
                      {"TMPDIR", "where the private cache directory is made, without --cache-dir"},
                      {"XDG_CACHE_HOME", "holds korvex-mount/unsent, without --unsent-dir"}};
  page.exitStatus = {{"0", "mounted, then unmounted normally"},
                     {std::to_string(kMountFailed), "the mount failed or did not end normally"},
                     {std::to_string(kUsage), "usage"},
                     {std::to_string(kNoConnect), "cannot connect"},
                     {std::to_string(kLoginRefused), "login refused"},
                     {std::to_string(kLocalFile), "local file error"}};
  return page;
}

std::chrono::milliseconds milliseconds(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

}  // namespace

std::optional<int> parseCommandLine(int argc, char** argv, Settings& settings) {
  CLI::App app{
      "Mount a phone's files as a local folder (FUSE). Unmount with fusermount3 -u MOUNTPOINT, "
      "or Ctrl-C in the foreground.",
      "korvex-mount"};
  app.set_version_flag("--version", KORVEX_MOUNT_VERSION);
  addConnectionOptions(app, settings);
  addFuseOptions(app, settings);
  addCacheOptions(app, settings);
  const CLI::Option* logLevel = addLogOptions(app, settings);
  app.add_option("MOUNTPOINT", settings.mountpoint, "an existing empty directory")->required();
  docs::addGenerateOption(app, manPageExtras());
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : kUsage;
  }
  // FUSE would mount on a file too, and every access would then fail.
  std::error_code error;
  if (!std::filesystem::is_directory(settings.mountpoint, error)) {
    const bool missing = !std::filesystem::exists(std::filesystem::symlink_status(settings.mountpoint, error));
    return fail(kUsage, settings.mountpoint + (missing ? ": no such directory" : ": not a directory") +
                            " (the mount point is an existing empty directory)");
  }
  settings.libraryLog = logLevel->count() > 0;
  settings.foreground = settings.foreground || settings.debug;
  return std::nullopt;
}

Options mountOptions(const Settings& settings) {
  Options options;
  options.attrTimeout = milliseconds(settings.attrTimeout);
  options.startTimeout = milliseconds(settings.startTimeout);
  options.cacheBytes = settings.cacheMiB << 20;
  options.copies = settings.copies;
  return options;
}

}  // namespace korvex::mount
