#include "mounting.h"

#include <cstring>
#include <string>
#include <vector>

#include "exit_status.h"
#include "filesystem.h"
#include "note.h"

namespace korvex::mount {
namespace {

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

// FUSE's own arguments: the name the mount shows, -d and the -o options.
std::vector<std::string> fuseArguments(const Settings& settings) {
  // A comma would end the name early in the option list.
  std::string source = settings.host.value_or("");
  for (char& c : source) {
    if (c == ',') c = '_';
  }
  std::vector<std::string> args{"korvex-mount", "-o", "fsname=korvex@" + source + ",subtype=korvex"};
  if (settings.debug) args.push_back("-d");
  std::vector<std::string> options = settings.fuseOptions;
  addDefaultPermissions(options);
  for (const std::string& option : options) {
    args.push_back("-o");
    args.push_back(option);
  }
  return args;
}

// Runs the request loop once mounted: the exit status.
int serve(fuse* fs, const Settings& settings) {
  fuse_session* session = fuse_get_session(fs);
  if (fuse_daemonize(settings.foreground ? 1 : 0) != 0 || fuse_set_signal_handlers(session) != 0) return kMountFailed;
  int ended;
  if (settings.singleThread) {
    ended = fuse_loop(fs);
  } else {
    fuse_loop_config loop{};
    loop.max_idle_threads = 10;
    ended = fuse_loop_mt(fs, &loop);
  }
  // Positive: the signal that ended it (Ctrl-C, SIGTERM), a normal end.
  if (ended < 0) note("the FUSE loop failed: %s", std::strerror(-ended));
  fuse_remove_signal_handlers(session);
  return ended >= 0 ? 0 : kMountFailed;
}

}  // namespace

int mountAndServe(const Settings& settings, Filesystem* filesystem) {
  std::vector<std::string> args = fuseArguments(settings);
  std::vector<char*> argPointers;
  for (std::string& arg : args) argPointers.push_back(arg.data());
  fuse_args fuseArgs = FUSE_ARGS_INIT(static_cast<int>(argPointers.size()), argPointers.data());
  const fuse_operations ops = operations();
  int status = kMountFailed;
  if (fuse* fs = fuse_new(&fuseArgs, &ops, sizeof ops, filesystem)) {
    if (fuse_mount(fs, settings.mountpoint.c_str()) == 0) {
      status = serve(fs, settings);
      fuse_unmount(fs);
    }
    fuse_destroy(fs);
  }
  fuse_opt_free_args(&fuseArgs);
  return status;
}

}  // namespace korvex::mount
