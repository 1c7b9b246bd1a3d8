#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "local_command.h"

namespace korvex::cli {

int runLocalCommand(const std::string& command) {
  std::fflush(stdout);
  const int status = std::system(command.c_str());
  if (status == -1) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (!WIFSIGNALED(status)) return -1;
  // The terminal echoed ^C where the command stopped: what follows starts a
  // line of its own, as after a shell's job.
  if (WTERMSIG(status) == SIGINT) std::fputc('\n', stdout);
  return 128 + WTERMSIG(status);
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
