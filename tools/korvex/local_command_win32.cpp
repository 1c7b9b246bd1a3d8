#include <cstdio>
#include <cstdlib>

#include "local_command.h"

namespace korvex::cli {

// The C runtime hands the line to the command interpreter (cmd /c).
int runLocalCommand(const std::string& command) {
  std::fflush(stdout);
  return std::system(command.c_str());
}

}  // namespace korvex::cli
