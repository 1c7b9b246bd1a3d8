// A fresh directory for one test's or benchmark's files, removed afterwards.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "bytes.h"

namespace korvex::test {

class TempDir {
 public:
  // A new directory named `prefix` and a random suffix, under `parent`
  // (the system's temporary directory when empty). Throws when it cannot.
  explicit TempDir(const std::string& prefix = "korvex-test", const std::filesystem::path& parent = {});
  ~TempDir() { remove(); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  const std::filesystem::path& path() const { return path_; }
  // Removes the directory with everything in it; path() is empty after.
  void remove();

 private:
  std::filesystem::path path_;
};

inline void writeFile(const std::filesystem::path& path, const std::string& data) {
  std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace korvex::test
