// The table of exit codes in docs/cli.md lists the codes the client returns,
// in the same order, and nothing else.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "exit_codes.h"

namespace korvex::cli {
namespace {

// The first cell of each row of the table under `heading`.
std::vector<std::string> tableCodes(const std::string& path, const std::string& heading) {
  std::ifstream in(path);
  std::vector<std::string> codes;
  std::string line;
  bool inSection = false;
  while (std::getline(in, line)) {
    if (line.rfind("#", 0) == 0) {
      if (inSection) break;
      inSection = line == heading;
      continue;
    }
    if (!inSection || line.rfind("| ", 0) != 0) continue;
    const std::string cell = line.substr(2, line.find(" |", 2) - 2);
    if (cell != "Code" && cell.find("---") == std::string::npos) codes.push_back(cell);
  }
  return codes;
}

TEST(ExitCodesTest, TheDocsListEveryCodeOfTheHeader) {
  std::vector<std::string> header;
  for (const ExitCodeMeaning& entry : kExitCodes) header.push_back(exitCodeLabel(entry.code));
  EXPECT_EQ(tableCodes(KORVEX_CLI_PAGE, "## Exit codes"), header);
}

}  // namespace
}  // namespace korvex::cli
