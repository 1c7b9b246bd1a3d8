#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

#include "local_command.h"

namespace korvex::cli {

int runLocalCommand(const std::string& command) {
  std::fflush(stdout);
  const int status = std::system(command.c_str());
  if (status == -1) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

int runLocalListing(const std::vector<std::string>& arguments) {
  std::string command = "ls";
  for (const std::string& argument : arguments) {
    // Single quotes keep everything but a single quote, written '\''.
    command += " '";
    for (const char c : argument) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += '\'';
  }
  return runLocalCommand(command);
}

}  // namespace korvex::cli
