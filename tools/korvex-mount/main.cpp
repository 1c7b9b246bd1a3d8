// korvex-mount: the phone's files as a local folder, through FUSE.
#include <string>

#include "command_line.h"
#include "filesystem.h"
#include "local_dirs.h"
#include "login.h"
#include "mounting.h"
#include "note.h"
#include "phone.h"

namespace korvex::mount {
namespace {

int run(int argc, char** argv) {
  Settings settings;
  if (const std::optional<int> ended = parseCommandLine(argc, argv, settings)) return *ended;
  std::string host, password;
  if (const int error = findLogin(settings, host, password)) return error;
  settings.host = host;  // the address found, which names the mount
  if (const int error = startLog(settings.logFile, settings.libraryLog, settings.logLevel)) return error;
  Options options = mountOptions(settings);
  if (const int error = makeLocalDirs(settings.unsentDir, settings.cacheParent, options)) return error;

  Phone phone(host, password);
  if (const int error = checkLogin(phone, settings.foreground)) {
    dropCacheDir(options.cacheDir);
    return error;
  }
  Filesystem* filesystem = newFilesystem(phone, options);
  const int status = mountAndServe(settings, filesystem);
  endCacheDir(options.cacheDir, deleteFilesystem(filesystem));
  return status;
}

}  // namespace
}  // namespace korvex::mount

int main(int argc, char** argv) { return korvex::mount::run(argc, argv); }
