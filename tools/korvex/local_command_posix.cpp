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

}  // namespace korvex::cli
