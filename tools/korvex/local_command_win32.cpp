#include <cstdio>
#include <cstdlib>

#include "local_command.h"

namespace korvex::cli {

// The C runtime hands the line to the command interpreter (cmd /c).
int runLocalCommand(const std::string& command) {
  std::fflush(stdout);
  return std::system(command.c_str());
}

int runLocalListing(const std::vector<std::string>& arguments) {
  std::string command = "dir";
  for (const std::string& argument : arguments) {
    const bool quoted = argument.find_first_of(" \t&|<>^") != std::string::npos;
    command += quoted ? " \"" + argument + "\"" : " " + argument;
  }
  return runLocalCommand(command);
}

}  // namespace korvex::cli
