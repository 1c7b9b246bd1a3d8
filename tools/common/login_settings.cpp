#include "login_settings.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

#include "korvex.hpp"
#include "phone_config.h"
#include "user_files.h"

namespace korvex::cli {
namespace {

using Problem = LoginSettings::Problem;

// Ends the reading with the reason; caught in readLoginSettings.
struct Refused {
  Problem problem;
  std::string message;
};

// The first line of the file, without its line end. `what` names where the
// path came from, for the message.
std::string readPasswordFile(const std::string& what, const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Refused{Problem::LocalFile, what + path + ": " + std::strerror(errno)};
  std::string line;
  std::getline(in, line);
  if (in.bad()) throw Refused{Problem::LocalFile, what + path + ": cannot be read"};
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::optional<std::string> variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

struct Config {
  std::string path;
  ConfigText text;
};

Config readConfig(const std::string& path, bool required) {
  Config config{path, {}};
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (required) throw Refused{Problem::Usage, "--phone: " + path + ": " + std::strerror(errno)};
    return config;
  }
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  config.text = parseConfig(text);
  if (!config.text.error.empty()) throw Refused{Problem::Usage, path + ": " + config.text.error};
  for (const ConfigSection& section : config.text.sections) {
    for (const ConfigEntry& entry : section.entries) {
      if (entry.key != "host" && entry.key != "password-file") {
        throw Refused{Problem::Usage, path + ": line " + std::to_string(entry.line) + ": unknown key " + entry.key +
                                          " (host and password-file are known)"};
      }
    }
  }
  return config;
}

LoginSettings resolve(const LoginFlags& flags) {
  LoginSources sources{flags.host, flags.password, flags.passwordFile, nullptr,
                       variable("KORVEX_HOST"), variable("KORVEX_PASSWORD"), nullptr};
  const bool settled = sources.host && (sources.password || sources.passwordFile);
  Config config;
  if (flags.phone || !settled) {
    const std::string path = configFilePath();
    if (path.empty() && flags.phone) {
      throw Refused{Problem::Usage, "--phone: no home directory to find the configuration file in"};
    }
    if (!path.empty()) config = readConfig(path, flags.phone.has_value());
    if (flags.phone) {
      sources.phone = config.text.find(*flags.phone);
      if (!sources.phone) throw Refused{Problem::Usage, "--phone " + *flags.phone + ": no such phone in " + path};
    }
    sources.fallback = config.text.find("default");
  }
  const LoginChoice choice = chooseLogin(sources);
  if (const std::string problem = addressProblem(choice.host); !problem.empty()) {
    throw Refused{Problem::Usage, choice.host + ": " + problem};
  }
  std::string password;
  switch (choice.password.kind) {
    case Credential::Kind::Text:
      password = choice.password.value;
      break;
    case Credential::Kind::File: {
      const bool configured = choice.password.fromConfig;
      const std::string file = configured ? expandHome(choice.password.value, homeDirectory()) : choice.password.value;
      // As ssh does for keys, however they are given: a secret others can read is no secret.
      if (openToOthers(file)) {
        throw Refused{Problem::Usage, file + ": the password file is readable by others (chmod 600 it)"};
      }
      password = readPasswordFile(configured ? config.path + ": password-file " : "--password-file: ", file);
      break;
    }
    case Credential::Kind::None:
      throw Refused{Problem::Usage, "no password: give --password-file, --phone or set KORVEX_PASSWORD"};
  }
  if (password.size() > korvex::kMaxPassword) {
    throw Refused{Problem::Usage, "the password is longer than " + std::to_string(korvex::kMaxPassword) + " bytes"};
  }
  return {choice.host, std::move(password), Problem::None, {}};
}

}  // namespace

LoginSettings readLoginSettings(const LoginFlags& flags) {
  try {
    return resolve(flags);
  } catch (Refused& refused) {
    LoginSettings none;
    none.problem = refused.problem;
    none.message = std::move(refused.message);
    return none;
  }
}

}  // namespace korvex::cli
