// korvex-mount's command line, as given, and the mount options it sets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mount_options.h"

namespace korvex::mount {

struct Settings {
  // As korvex takes them: the command line, then --phone's section of the
  // configuration file, KORVEX_HOST and KORVEX_PASSWORD, then [default].
  std::optional<std::string> host, passwordFile, phone;
  std::string mountpoint;
  std::string cacheParent;
  std::string unsentDir;
  std::string logFile;
  unsigned logLevel = 6;
  bool libraryLog = false;  // --log-level given: the library's log is on
  bool foreground = false;  // also set by --debug
  bool debug = false;
  bool singleThread = false;
  std::vector<std::string> fuseOptions;
  double attrTimeout = 1.0;
  double startTimeout = 10.0;
  std::uint64_t cacheMiB = 2048;
  int copies = 4;
};

// Fills `settings`; the exit status when the program ends here (--help,
// --version, a usage error).
std::optional<int> parseCommandLine(int argc, char** argv, Settings& settings);

// The mount's options from the command line; the directories are not set.
Options mountOptions(const Settings& settings);

}  // namespace korvex::mount
