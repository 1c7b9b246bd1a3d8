#include "command_line.h"

#include <string>
#include <utility>

#include "local_files.h"
#include "shell_text.h"

namespace korvex::cli {

namespace {
std::string phoneWorkingDirectory;
}  // namespace

void setPhoneWorkingDirectory(std::string directory) { phoneWorkingDirectory = std::move(directory); }

bool inShell() { return !phoneWorkingDirectory.empty(); }

std::string usageMessage(const std::string& command, const CLI::Error& error) {
  const std::string what = error.what();
  if (command.empty() || what.starts_with(command + ": ")) return what;
  return command + ": " + what;
}

std::string phonePathArgument(const std::string& text) {
  // "." and ".." are taken out as a shell would: the phone shows no links.
  // Outside the shell a relative path is taken from the root, as the phone
  // takes it.
  return resolvePhonePath(phoneWorkingDirectory.empty() ? "/" : phoneWorkingDirectory, phoneArgument(text));
}

CLI::Validator phonePath(std::size_t limit) {
  return CLI::Validator(
      [limit](std::string& value) -> std::string {
        value = phonePathArgument(value);
        if (value.empty()) return "a phone path cannot be empty";
        if (value.size() > limit) return "phone path longer than " + std::to_string(limit) + " bytes";
        return {};
      },
      "", "phone path");
}

CLI::Option* addPhonePath(CLI::App* app, const char* name, std::string& path, const char* description,
                          std::size_t limit) {
  return app->add_option(name, path, description)->required()->transform(phonePath(limit));
}

CLI::Option* addPhonePaths(CLI::App* app, const char* name, std::vector<std::string>& paths, const char* description) {
  return app->add_option(name, paths, description)->required()->transform(phonePath(korvex::kMaxPath));
}

void addProgressOption(CLI::App* app, ProgressMode& progress) {
  app->add_option_function<std::string>(
         "--progress",
         [&progress](const std::string& mode) {
           progress = mode == "always"  ? ProgressMode::Always
                      : mode == "never" ? ProgressMode::Never
                                        : ProgressMode::Auto;
         },
         "progress bar: auto (only on a terminal), always or never")
      ->type_name("MODE")
      ->check(CLI::IsMember({"auto", "always", "never"}));
}

}  // namespace korvex::cli
