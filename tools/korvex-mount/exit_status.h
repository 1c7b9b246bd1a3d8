// How korvex-mount ends when it cannot mount: the client's exit codes, where
// they apply, and one line on standard error.
#pragma once

#include <cstdio>
#include <string>

namespace korvex::mount {

constexpr int kMountFailed = 1;
constexpr int kUsage = 2;
constexpr int kNoConnect = 3;
constexpr int kLoginRefused = 4;
constexpr int kLocalFile = 5;

inline int fail(int code, const std::string& message) {
  std::fprintf(stderr, "korvex-mount: %s\n", message.c_str());
  return code;
}

}  // namespace korvex::mount
