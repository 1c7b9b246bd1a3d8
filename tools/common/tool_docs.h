// Man pages and shell completion scripts for the tools, made from a plain
// description of a command line. The tools build that description from the
// same tables their --help prints, so the files cannot drift from it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvex::docs {

struct Option {
  std::vector<std::string> names;  // "-r", "--recursive"
  std::string argument;            // "N", "FILE"; empty for a flag
  std::string description;
  std::string defaultValue;
  std::vector<std::string> choices;  // the only values the argument takes, if listed
};

struct Positional {
  std::string name;
  std::string description;
  bool repeats = false;
  bool required = false;
};

struct Command {
  std::string name;
  std::string description;
  std::vector<Option> options;
  std::vector<Positional> positionals;
  std::vector<Command> commands;
};

struct Entry {
  std::string term;  // "KORVEX_PASSWORD", "3"
  std::string text;
};

struct Page {
  Command program;  // its description is the NAME line
  std::string version;
  std::string description;  // paragraphs, one per line
  std::vector<Entry> environment;
  std::vector<Entry> exitStatus;
};

// The file of kind "man", "bash", "zsh" or "fish"; nothing for another kind.
std::optional<std::string> render(const Page& page, std::string_view kind);
// The kinds render() knows, for messages.
inline constexpr const char* kKinds = "man, bash, zsh or fish";

// roff text: backslashes and hyphens escaped, no line read as a request.
std::string roffText(std::string_view text);
// A value that an option with this argument name takes is a local path.
bool isLocalPath(std::string_view argument);

}  // namespace korvex::docs
