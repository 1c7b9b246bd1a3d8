#include "failure.h"

#include <cstdio>
#include <utility>

#include "text.h"

namespace korvex::cli {

namespace {
// The main thread's alone: worker threads hand their failures to it.
std::string messagePrefix;
std::size_t printedCount = 0;
}  // namespace

void printMessage(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "korvex: %s\n", shown(messagePrefix + message).c_str());
  ++printedCount;
}

MessagePrefix::MessagePrefix(std::string prefix) { messagePrefix = std::move(prefix); }
MessagePrefix::~MessagePrefix() { messagePrefix.clear(); }

std::size_t messagesPrinted() { return printedCount; }

}  // namespace korvex::cli
