// A service on a temporary root, a local scratch directory, and the client
// run against them.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cli_runner.h"
#include "service_process.h"

namespace korvex::test {

namespace fs = std::filesystem;

inline std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

class CliTest : public ::testing::Test {
 protected:
  explicit CliTest(ServiceProcess::Options options = {})
      : service_(std::make_unique<ServiceProcess>(std::move(options))) {
    std::string pattern = (fs::temp_directory_path() / "korvex-cli-test.XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    local_ = pattern;
  }
  ~CliTest() override {
    std::error_code ignored;
    fs::remove_all(local_, ignored);
  }

  ServiceProcess& service() { return *service_; }
  fs::path phone(const std::string& path) const { return service_->root() / path; }
  fs::path local(const std::string& name) const { return local_ / name; }

  std::vector<std::string> login() const {
    return {"--host", service_->address(), "--password", service_->password()};
  }
  CliResult korvex(std::vector<std::string> args, CliOptions options = {}) {
    std::vector<std::string> full = login();
    full.insert(full.end(), args.begin(), args.end());
    return runCli(full, std::move(options));
  }

 private:
  std::unique_ptr<ServiceProcess> service_;
  fs::path local_;
};

// Whether a download of NAME into `directory` is under way: the library
// writes to a hidden temporary beside the destination (".NAME.PID-N.part")
// and puts it in place only once complete.
inline bool downloading(const fs::path& directory, const std::string& name) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(directory, error)) {
    const std::string file = entry.path().filename().string();
    const std::uintmax_t size = entry.file_size(error);
    if (!error && size > 0 && file.starts_with("." + name + ".") && file.ends_with(".part")) return true;
  }
  return false;
}

// Lines of a command's output, without their ends.
inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    result.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return result;
}

}  // namespace korvex::test
