#include "failure.h"

#include <cstdio>

#include "text.h"

namespace korvex::cli {

void printMessage(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "korvex: %s\n", shown(message).c_str());
}

}  // namespace korvex::cli
