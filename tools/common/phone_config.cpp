#include "phone_config.h"

namespace korvex::cli {

namespace {

std::string_view trimmed(std::string_view text) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

const ConfigEntry* ConfigSection::find(std::string_view key) const {
  // The last of a key given twice counts, as in most INI readers.
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
    if (entry->key == key) return &*entry;
  }
  return nullptr;
}

const ConfigSection* ConfigText::find(std::string_view name) const {
  for (const ConfigSection& section : sections) {
    if (section.name == name) return &section;
  }
  return nullptr;
}

ConfigText parseConfig(std::string_view text) {
  ConfigText config;
  int number = 0;
  while (!text.empty() && config.error.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = trimmed(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    const std::string where = "line " + std::to_string(number) + ": ";
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    if (line.front() == '[') {
      const std::string_view name = trimmed(line.substr(1, line.size() - 1 - (line.back() == ']')));
      if (line.back() != ']' || name.empty()) {
        config.error = where + "a section is written [name]";
      } else if (config.find(name)) {
        config.error = where + "[" + std::string(name) + "] is given twice";
      } else {
        config.sections.push_back({std::string(name), {}});
      }
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos || trimmed(line.substr(0, equals)).empty()) {
      config.error = where + "expected key=value";
    } else if (config.sections.empty()) {
      config.error = where + "key=value before the first [section]";
    } else {
      config.sections.back().entries.push_back(
          {std::string(trimmed(line.substr(0, equals))), std::string(trimmed(line.substr(equals + 1))), number});
    }
  }
  return config;
}

std::string expandHome(const std::string& path, const std::string& home) {
  if (path == "~") return home;
  if (path.size() > 1 && path[0] == '~' && (path[1] == '/' || path[1] == '\\')) return home + path.substr(1);
  return path;
}

LoginChoice chooseLogin(const LoginSources& sources) {
  LoginChoice choice;
  const auto configured = [](const ConfigSection* section, const char* key) -> const ConfigEntry* {
    return section ? section->find(key) : nullptr;
  };
  if (sources.host) {
    choice.host = *sources.host;
  } else if (const ConfigEntry* host = configured(sources.phone, "host")) {
    choice.host = host->value;
  } else if (sources.hostVariable) {
    choice.host = *sources.hostVariable;
  } else if (const ConfigEntry* fallback = configured(sources.fallback, "host")) {
    choice.host = fallback->value;
  } else {
    choice.host = "127.0.0.1";
  }

  using Kind = Credential::Kind;
  if (sources.password) {
    choice.password = {Kind::Text, *sources.password};
  } else if (sources.passwordFile) {
    choice.password = {Kind::File, *sources.passwordFile};
  } else if (const ConfigEntry* file = configured(sources.phone, "password-file")) {
    choice.password = {Kind::File, file->value, true};
  } else if (sources.passwordVariable) {
    choice.password = {Kind::Text, *sources.passwordVariable};
  } else if (const ConfigEntry* fallback = configured(sources.fallback, "password-file")) {
    choice.password = {Kind::File, fallback->value, true};
  }
  return choice;
}

std::string addressProblem(std::string_view address) {
  const std::size_t colon = address.find(':');
  if (address.substr(0, colon).empty()) return "no host name or address";
  if (colon == std::string_view::npos) return {};
  const std::string_view port = address.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos) {
    return "the port is not a number from 1 to 65535";
  }
  const int number = std::stoi(std::string(port));
  return number >= 1 && number <= 65535 ? std::string() : "the port is out of range (1 to 65535)";
}

std::string hostOf(std::string_view address) { return std::string(address.substr(0, address.find(':'))); }

}  // namespace korvex::cli
