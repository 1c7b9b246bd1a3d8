// A command line run by the local system's shell, for the shell's '!'.
#pragma once

#include <string>

namespace korvex::cli {

// Runs `command` in the local working directory and waits for it: its exit
// status (128 + N when signal N ended it), or -1 when it could not be run.
int runLocalCommand(const std::string& command);

}  // namespace korvex::cli
