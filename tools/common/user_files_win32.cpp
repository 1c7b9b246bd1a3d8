#include <cstdlib>

#include "user_files.h"

namespace korvex::cli {

std::string homeDirectory() {
  const char* home = std::getenv("USERPROFILE");
  return home ? home : "";
}

std::string configFilePath() {
  const char* appData = std::getenv("APPDATA");
  return appData && *appData ? std::string(appData) + "\\korvex\\config" : "";
}

// A profile's files are the user's alone unless shared on purpose, and
// Windows has no permission bits to read: the check is left to its ACLs.
bool openToOthers(const std::string&) { return false; }

}  // namespace korvex::cli
