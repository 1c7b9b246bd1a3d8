#include "scratch_dir.h"

#include <cstring>
#include <string>

#include "failure.h"
#include "web_platform.h"

namespace korvex::web {

ScratchDir::ScratchDir() {
  int error = 0;
  const std::string made = makePrivateDirectory(error);
  if (made.empty()) {
    throw korvex::cli::Failure{korvex::cli::kLocalFile,
                               std::string("web: cannot make a temporary directory: ") + std::strerror(error)};
  }
  path_ = made;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path ScratchDir::fresh(std::string_view kind) {
  return path_ / (std::string(kind) + "-" + std::to_string(++counter_));
}

}  // namespace korvex::web
