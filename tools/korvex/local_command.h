// A command line run by the local system's shell, for the shell's '!'.
#pragma once

#include <string>
#include <vector>

namespace korvex::cli {

// Runs `command` in the local working directory and waits for it: its exit
// status (128 + N when signal N ended it), or -1 when it could not be run.
int runLocalCommand(const std::string& command);
// The system's own listing (ls; dir on Windows) with `arguments` as they
// are, quoted for the system's shell: lls with options, as sftp has it.
// Its status as runLocalCommand's.
int runLocalListing(const std::vector<std::string>& arguments);

}  // namespace korvex::cli
