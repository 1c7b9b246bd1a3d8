#include "temp_dir.h"

#include <random>
#include <stdexcept>

namespace korvex::test {

TempDir::TempDir(const std::string& prefix, const std::filesystem::path& parent) {
  const std::filesystem::path base = parent.empty() ? std::filesystem::temp_directory_path() : parent;
  std::filesystem::create_directories(base);
  // create_directory is false for a name that exists, so two processes
  // (or threads) drawing the same suffix never share a directory.
  std::random_device seed;
  std::mt19937_64 draw(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[17];
    static constexpr char kDigits[] = "0123456789abcdef";
    std::uint64_t bits = draw();
    for (int i = 0; i < 16; ++i, bits >>= 4) suffix[i] = kDigits[bits & 15];
    suffix[16] = '\0';
    const std::filesystem::path candidate = base / (prefix + "." + suffix);
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory under " + base.string());
}

void TempDir::remove() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
  path_.clear();
}

}  // namespace korvex::test
