// The user's own files as the tools find them: the home directory, the
// configuration file naming phones, and whether a password file is private.
// One implementation per platform.
#pragma once

#include <string>

namespace korvex::cli {

// The configuration file: $XDG_CONFIG_HOME/korvex/config, else
// ~/.config/korvex/config (%APPDATA%\korvex\config on Windows); empty when
// neither place is known.
std::string configFilePath();
// The user's home directory, for a leading "~"; empty when unknown.
std::string homeDirectory();
// Whether the group or others may read or write the regular file (a pipe
// such as /dev/stdin holds no stored secret).
bool openToOthers(const std::string& path);

}  // namespace korvex::cli
