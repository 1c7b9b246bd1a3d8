// The client's configuration file: named phones, each with an address and
// a password file, and the choice between them, the command line and the
// environment. Pure text, so it is checked without a phone or a file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvex::cli {

struct ConfigEntry {
  std::string key, value;
  int line = 0;
};

struct ConfigSection {
  std::string name;
  std::vector<ConfigEntry> entries;
  // The value of `key`, if the section gives it.
  const ConfigEntry* find(std::string_view key) const;
};

struct ConfigText {
  std::vector<ConfigSection> sections;
  std::string error;  // "line N: ..." for the first line that is not understood; empty when all is well
  const ConfigSection* find(std::string_view name) const;
};

// INI text: "[name]" starts a section, "key = value" lines fill it, blank
// lines and lines starting with '#' or ';' are skipped. Spaces around names,
// keys and values are dropped; a key outside a section or a section named
// twice is an error.
ConfigText parseConfig(std::string_view text);

// "~" or "~/rest" (also "~\rest") with `home` in place of the '~'; any other
// path as it is.
std::string expandHome(const std::string& path, const std::string& home);

// Where the login comes from, strongest first: the command line, the phone
// named with --phone, the environment, the [default] section.
struct LoginSources {
  std::optional<std::string> host, password, passwordFile;  // --host, --password, --password-file
  const ConfigSection* phone = nullptr;                     // --phone NAME
  std::optional<std::string> hostVariable, passwordVariable;  // KORVEX_HOST, KORVEX_PASSWORD
  const ConfigSection* fallback = nullptr;                  // [default]
};

struct Credential {
  enum class Kind { None, Text, File };
  Kind kind = Kind::None;
  std::string value;        // the password, or the file's path
  bool fromConfig = false;  // a file named in the configuration
};

struct LoginChoice {
  std::string host;
  Credential password;
};

// The address and the password each taken from the strongest source that
// gives one; the address 127.0.0.1 when none does.
LoginChoice chooseLogin(const LoginSources& sources);

// What is wrong with an address "host[:port]" as the library reads it (the
// first ':' starts the port, which the library would silently wrap past
// 65535); empty when nothing is.
std::string addressProblem(std::string_view address);
// The host part of such an address.
std::string hostOf(std::string_view address);

}  // namespace korvex::cli
