// Where a tool's login comes from, strongest first: its command line, the
// phone named with --phone in the configuration file, the environment
// (KORVEX_HOST, KORVEX_PASSWORD), the file's [default]. korvex and
// korvex-mount read them alike.
#pragma once

#include <optional>
#include <string>

namespace korvex::cli {

// What the command line gave; nothing for what it did not.
struct LoginFlags {
  std::optional<std::string> host, password, passwordFile;  // --host, --password, --password-file
  std::optional<std::string> phone;                         // --phone NAME
};

struct LoginSettings {
  enum class Problem { None, Usage, LocalFile };
  std::string host, password;
  Problem problem = Problem::None;
  std::string message;  // why there is no login, without the program's name
};

// Reads the configuration file only when it may decide something, and the
// password file chosen: one the group or others may read is refused.
LoginSettings readLoginSettings(const LoginFlags& flags);

}  // namespace korvex::cli
