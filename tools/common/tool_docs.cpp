#include "tool_docs.h"

#include <algorithm>
#include <cctype>
#include <functional>

namespace korvex::docs {
namespace {

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string bold(std::string_view text) { return "\\fB" + roffText(text) + "\\fR"; }
std::string italic(std::string_view text) { return "\\fI" + roffText(text) + "\\fR"; }

std::string joined(const std::vector<std::string>& words, std::string_view between) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : std::string(between)) + word;
  return text;
}

// A word for `sh`: single-quoted unless plainly safe.
std::string shellWord(std::string_view text) {
  const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("-_./=+,").find(c) != std::string_view::npos;
  });
  if (plain) return std::string(text);
  std::string word = "'";
  for (char c : text) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return word + "'";
}

std::string escaped(std::string_view text, std::string_view special) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || special.find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

bool takesValue(const Option& option) { return !option.argument.empty(); }

// ---- man ----

std::string synopsis(const std::string& words, const Command& command) {
  std::string line = words;
  if (!command.options.empty()) line += " [" + italic("OPTIONS") + "]";
  for (const Positional& positional : command.positionals) {
    std::string word = italic(positional.name) + (positional.repeats ? "..." : "");
    line += " " + (positional.required ? word : "[" + word + "]");
  }
  if (!command.commands.empty()) line += " " + italic("COMMAND") + " [" + italic("ARGS") + "]";
  return line + "\n";
}

std::string optionItems(const Command& command) {
  std::string text;
  for (const Option& option : command.options) {
    std::vector<std::string> names;
    for (const std::string& name : option.names) names.push_back(bold(name));
    text += ".TP\n" + joined(names, ", ");
    if (takesValue(option)) text += " " + italic(option.argument);
    text += "\n" + roffText(option.description);
    if (!option.choices.empty()) text += roffText(" (one of: " + joined(option.choices, ", ") + ")");
    if (!option.defaultValue.empty()) text += roffText(" (default: " + option.defaultValue + ")");
    text += "\n";
  }
  return text;
}

std::string positionalItems(const Command& command) {
  std::string text;
  for (const Positional& positional : command.positionals) {
    text += ".TP\n" + italic(positional.name) + (positional.repeats ? "...\n" : "\n") +
            roffText(positional.description) + "\n";
  }
  return text;
}

std::string entries(const std::vector<Entry>& list) {
  std::string text;
  for (const Entry& entry : list) text += ".TP\n" + bold(entry.term) + "\n" + roffText(entry.text) + "\n";
  return text;
}

std::string manPage(const Page& page) {
  const Command& program = page.program;
  std::string text = ".TH " + upper(program.name) + " 1 \"\" \"" + program.name + " " + page.version +
                     "\" \"User Commands\"\n";
  text += ".SH NAME\n" + roffText(program.name + " - " + program.description) + "\n";
  text += ".SH SYNOPSIS\n" + synopsis(bold(program.name), program);
  if (!page.description.empty()) {
    text += ".SH DESCRIPTION\n";
    std::string_view rest = page.description;
    for (bool first = true; !rest.empty(); first = false) {
      const std::size_t end = std::min(rest.find('\n'), rest.size());
      text += (first ? "" : ".PP\n") + roffText(rest.substr(0, end)) + "\n";
      rest.remove_prefix(std::min(end + 1, rest.size()));
    }
  }
  if (!program.options.empty()) text += ".SH OPTIONS\n" + optionItems(program);
  if (!program.positionals.empty()) text += ".SH ARGUMENTS\n" + positionalItems(program);
  if (!program.commands.empty()) {
    text += ".SH COMMANDS\n";
    for (const Command& command : program.commands) {
      text += ".SS\n" + synopsis(bold(program.name + " " + command.name), command);
      // Each command's -h/--help is the program's, listed once above.
      Command own = command;
      std::erase_if(own.options, [](const Option& option) {
        return std::find(option.names.begin(), option.names.end(), "--help") != option.names.end();
      });
      text += roffText(command.description) + "\n" + positionalItems(own) + optionItems(own);
    }
  }
  if (!page.environment.empty()) text += ".SH ENVIRONMENT\n" + entries(page.environment);
  if (!page.exitStatus.empty()) text += ".SH \"EXIT STATUS\"\n" + entries(page.exitStatus);
  return text;
}

// ---- bash ----

std::string bashName(const std::string& program) {
  std::string name = "_" + program;
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

std::vector<std::string> optionNames(const Command& command) {
  std::vector<std::string> names;
  for (const Option& option : command.options) names.insert(names.end(), option.names.begin(), option.names.end());
  return names;
}

// What completes an option's value: a compgen action, or none.
std::string bashValueAction(const Option& option) {
  if (!option.choices.empty()) return "compgen -W " + shellWord(joined(option.choices, " ")) + " -- \"$cur\"";
  if (isLocalPath(option.argument)) {
    return option.argument.find("FILE") == std::string::npos ? "compgen -d -- \"$cur\"" : "compgen -f -- \"$cur\"";
  }
  return "";
}

// `case "$command $prev"` arms for the options of `command`, "*" for the
// program's own, which may follow any command.
std::string bashValueCases(const Command& command, const std::string& commandPattern) {
  std::string text;
  for (const Option& option : command.options) {
    if (!takesValue(option)) continue;
    std::vector<std::string> patterns;
    for (const std::string& name : option.names) patterns.push_back(commandPattern + shellWord(" " + name));
    const std::string action = bashValueAction(option);
    text += "    " + joined(patterns, "|") + ")\n      ";
    text += action.empty() ? "return ;;\n" : "mapfile -t COMPREPLY < <(" + action + "); return ;;\n";
  }
  return text;
}

std::string bashCompletion(const Command& program) {
  const std::string function = bashName(program.name);
  std::vector<std::string> commandNames;
  for (const Command& command : program.commands) commandNames.push_back(command.name);
  const std::string globals = joined(optionNames(program), " ");

  std::string text = "# bash completion for " + program.name + "; made by " + program.name + " --generate=bash\n";
  text += function + "() {\n";
  text += "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n";
  text += "  local command=\n";
  if (!program.commands.empty()) {
    text += "  local i\n  for ((i = 1; i < COMP_CWORD; i++)); do\n";
    text += "    case ${COMP_WORDS[i]} in\n";
    text += "      " + joined(commandNames, "|") + ") command=${COMP_WORDS[i]}; break ;;\n";
    text += "    esac\n  done\n";
  }
  text += "  case \"$command $prev\" in\n" + bashValueCases(program, "*");
  for (const Command& command : program.commands) text += bashValueCases(command, shellWord(command.name));
  text += "  esac\n";
  text += "  local words=" + shellWord(globals) + "\n";
  if (!program.commands.empty()) {
    const std::vector<std::string> globalNames = optionNames(program);
    text += "  case $command in\n";
    for (const Command& command : program.commands) {
      std::string own;
      for (const std::string& name : optionNames(command)) {
        if (std::find(globalNames.begin(), globalNames.end(), name) == globalNames.end()) own += " " + name;
      }
      if (!own.empty()) text += "    " + command.name + ") words+=" + shellWord(own) + " ;;\n";
    }
    text += "    '') [[ $cur == -* ]] || words=" + shellWord(joined(commandNames, " ")) + " ;;\n";
    text += "  esac\n";
  }
  // Arguments are paths: local ones complete as files, phone ones not at all.
  text += program.commands.empty() ? "  if [[ $cur == -* ]]; then\n" : "  if [[ $cur == -* || -z $command ]]; then\n";
  text += "    mapfile -t COMPREPLY < <(compgen -W \"$words\" -- \"$cur\")\n";
  text += "  else\n";
  text += "    compopt -o filenames 2>/dev/null\n";
  text += "    mapfile -t COMPREPLY < <(compgen -f -- \"$cur\")\n";
  text += "  fi\n";
  text += "}\n";
  text += "complete -F " + function + " " + program.name + "\n";
  return text;
}

// ---- zsh ----

std::string zshSpecs(const Command& command) {
  std::string text;
  for (const Option& option : command.options) {
    const std::string exclusions = "(" + joined(option.names, " ") + ")";
    const std::string description = "[" + escaped(option.description, "[]") + "]";
    std::string value;
    if (takesValue(option)) {
      std::string action;
      if (!option.choices.empty()) action = "(" + joined(option.choices, " ") + ")";
      else if (isLocalPath(option.argument)) action = "_files";
      value = ":" + escaped(option.argument, ":") + ":" + action;
    }
    for (const std::string& name : option.names) {
      const std::string form = !takesValue(option) ? "" : name.rfind("--", 0) == 0 ? "=" : "+";
      text += " \\\n    " + shellWord(exclusions + name + form + description + value);
    }
  }
  for (const Positional& positional : command.positionals) {
    const std::string argument = (positional.repeats ? "*:" : ":") + escaped(positional.name, ":") + ":_files";
    text += " \\\n    " + shellWord(argument);
  }
  return text;
}

std::string zshCompletion(const Command& program) {
  const std::string function = bashName(program.name);
  std::string text = "#compdef " + program.name + "\n# zsh completion for " + program.name + "; made by " +
                     program.name + " --generate=zsh\n";
  text += function + "() {\n";
  if (program.commands.empty()) {
    text += "  _arguments -s" + zshSpecs(program) + "\n}\n";
    return text + function + " \"$@\"\n";
  }
  text += "  local -a commands\n  commands=(\n";
  for (const Command& command : program.commands) {
    text += "    " + shellWord(escaped(command.name, ":") + ":" + command.description) + "\n";
  }
  text += "  )\n  local context state state_descr line\n  typeset -A opt_args\n";
  text += "  _arguments -C" + zshSpecs(program) + " \\\n    '1: :->command' \\\n    '*:: :->args'\n";
  text += "  case $state in\n";
  text += "    command) _describe -t commands " + shellWord(program.name + " command") + " commands ;;\n";
  text += "    args)\n      case $words[1] in\n";
  for (const Command& command : program.commands) {
    // The program's options may follow any command too; _arguments refuses
    // an option given twice, so not those the command has itself.
    const std::vector<std::string> own = optionNames(command);
    Command globals;
    for (const Option& option : program.options) {
      if (std::none_of(option.names.begin(), option.names.end(), [&](const std::string& name) {
            return std::find(own.begin(), own.end(), name) != own.end();
          })) {
        globals.options.push_back(option);
      }
    }
    text += "        " + shellWord(command.name) + ") _arguments" + zshSpecs(command) + zshSpecs(globals) + " ;;\n";
  }
  text += "      esac ;;\n  esac\n}\n";
  return text + function + " \"$@\"\n";
}

// ---- fish ----

std::string fishWord(std::string_view text) { return "'" + escaped(text, "'") + "'"; }

std::string fishOptions(const std::string& program, const Command& command, const std::string& condition) {
  std::string text;
  for (const Option& option : command.options) {
    std::string line = "complete -c " + program;
    if (!condition.empty()) line += " -n " + fishWord(condition);
    for (const std::string& name : option.names) {
      line += name.rfind("--", 0) == 0 ? " -l " + name.substr(2) : " -s " + name.substr(1);
    }
    if (takesValue(option)) {
      if (!option.choices.empty()) line += " -x -a " + fishWord(joined(option.choices, " "));
      else if (isLocalPath(option.argument)) line += " -r -F";
      else line += " -x";
    }
    text += line + " -d " + fishWord(option.description) + "\n";
  }
  return text;
}

std::string fishCompletion(const Command& program) {
  const std::string& name = program.name;
  std::string text = "# fish completion for " + name + "; made by " + name + " --generate=fish\n";
  text += fishOptions(name, program, "");
  for (const Command& command : program.commands) {
    text += "complete -c " + name + " -f -n __fish_use_subcommand -a " + fishWord(command.name) + " -d " +
            fishWord(command.description) + "\n";
  }
  for (const Command& command : program.commands) {
    text += fishOptions(name, command, "__fish_seen_subcommand_from " + command.name);
  }
  return text;
}

}  // namespace

std::string roffText(std::string_view text) {
  std::string out;
  bool lineStart = true;
  for (char c : text) {
    if (lineStart && (c == '.' || c == '\'')) out += "\\&";
    lineStart = c == '\n';
    if (c == '\\') out += "\\e";
    else if (c == '-') out += "\\-";
    else out += c;
  }
  return out;
}

bool isLocalPath(std::string_view argument) {
  return argument.find("FILE") != std::string_view::npos || argument.find("DIR") != std::string_view::npos;
}

std::optional<std::string> render(const Page& page, std::string_view kind) {
  if (kind == "man") return manPage(page);
  if (kind == "bash") return bashCompletion(page.program);
  if (kind == "zsh") return zshCompletion(page.program);
  if (kind == "fish") return fishCompletion(page.program);
  return std::nullopt;
}

}  // namespace korvex::docs
