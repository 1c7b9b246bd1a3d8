// The hidden --generate option of a CLI11 program: its man page or a
// completion script, made by walking the same App that prints --help.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include "tool_docs.h"

namespace korvex::docs {

// "ADDR[:PORT]" of "ADDR[:PORT]", "N" of "N:INT in [1 - 64]": CLI11 appends
// its checks' descriptions after a colon outside brackets.
inline std::string argumentName(const std::string& typeName) {
  int depth = 0;
  for (std::size_t i = 0; i < typeName.size(); ++i) {
    if (typeName[i] == '[') ++depth;
    if (typeName[i] == ']') --depth;
    if (typeName[i] == ':' && depth == 0) return typeName.substr(0, i);
  }
  return typeName;
}

// "auto,always,never" of "MODE:{auto,always,never}".
inline std::vector<std::string> argumentChoices(const std::string& typeName) {
  const std::size_t open = typeName.find(":{");
  const std::size_t close = typeName.rfind('}');
  if (open == std::string::npos || close == std::string::npos || close < open) return {};
  std::vector<std::string> choices;
  std::string rest = typeName.substr(open + 2, close - open - 2);
  for (std::size_t comma; (comma = rest.find(',')) != std::string::npos; rest.erase(0, comma + 1)) {
    choices.push_back(rest.substr(0, comma));
  }
  choices.push_back(rest);
  return choices;
}

// What --help shows of `app`; hidden options and commands (no group) left out.
inline Command describe(const CLI::App& app) {
  Command command{app.get_name(), app.get_description(), {}, {}, {}};
  for (const CLI::Option* option : app.get_options([](const CLI::Option* o) { return !o->get_group().empty(); })) {
    if (option->get_positional()) {
      const bool repeats = option->get_items_expected_max() > 1;
      command.positionals.push_back(
          {option->get_name(true), option->get_description(), repeats, option->get_required()});
      continue;
    }
    Option described;
    for (const std::string& name : option->get_snames()) described.names.push_back("-" + name);
    for (const std::string& name : option->get_lnames()) described.names.push_back("--" + name);
    if (option->get_type_size_max() > 0) {
      described.argument = argumentName(option->get_type_name());
      described.choices = argumentChoices(option->get_type_name());
      described.defaultValue = option->get_default_str();
    }
    described.description = option->get_description();
    command.options.push_back(std::move(described));
  }
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App* s) { return !s->get_group().empty(); })) {
    command.commands.push_back(describe(*sub));
  }
  return command;
}

// Adds the hidden --generate=KIND to `app`: it prints the file made from
// `app` as it stands when parsed, with `page`'s other sections, and ends the
// parse with success.
inline void addGenerateOption(CLI::App& app, Page page) {
  app.add_option_function<std::string>(
         "--generate",
         [&app, page](const std::string& kind) {
           Page full = page;
           full.program = describe(app);
           const std::optional<std::string> text = render(full, kind);
           if (!text) throw CLI::ValidationError("--generate", std::string("the kinds are ") + kKinds);
           std::fwrite(text->data(), 1, text->size(), stdout);
           throw CLI::Success();
         },
         "")
      ->group("");
}

}  // namespace korvex::docs
