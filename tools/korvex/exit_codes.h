// Exit codes of the korvex command. Scripts rely on them: keep the numbers.
#pragma once

#include <string>

namespace korvex::cli {

enum ExitCode : int {
  kOk = 0,
  kRefused = 1,      // the phone refused the request (missing path, not empty, ...)
  kUsage = 2,        // bad command line
  kNoConnect = 3,    // no TCP connection to the phone's service
  kLoginRefused = 4, // the service turned the password away
  kLocalFile = 5,    // a local file could not be read, written or created
  kBroken = 6,       // the connection broke, or a copy never started or stopped midway
  kSignalBase = 128, // a copy cancelled by signal N exits with 128 + N (Ctrl-C: 130)
};

// Every code in a few words, in the order --help and docs/cli.md list them.
struct ExitCodeMeaning {
  ExitCode code;
  const char* meaning;
};
inline constexpr ExitCodeMeaning kExitCodes[] = {
    {kOk, "ok"},
    {kRefused, "refused by the phone"},
    {kUsage, "usage"},
    {kNoConnect, "cannot connect"},
    {kLoginRefused, "login refused"},
    {kLocalFile, "local file error"},
    {kBroken, "connection lost or copy failed"},
    {kSignalBase, "copy cancelled by signal N"},
};

// How a code is written where it is listed: "128+N" for the signal codes.
inline std::string exitCodeLabel(ExitCode code) {
  return std::to_string(code) + (code == kSignalBase ? "+N" : "");
}

}  // namespace korvex::cli
