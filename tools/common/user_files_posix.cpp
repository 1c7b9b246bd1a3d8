#include <sys/stat.h>

#include <cstdlib>

#include "user_files.h"

namespace korvex::cli {

std::string homeDirectory() {
  const char* home = std::getenv("HOME");
  return home ? home : "";
}

std::string configFilePath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && *config) return std::string(config) + "/korvex/config";
  const std::string home = homeDirectory();
  return home.empty() ? "" : home + "/.config/korvex/config";
}

bool openToOthers(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         (info.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0;
}

}  // namespace korvex::cli
