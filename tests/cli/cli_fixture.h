// A service on a temporary root, a local scratch directory, and the client
// run against them.
#pragma once

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <stdexcept>
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

// A 127.0.0.1 port that refuses connections: bound, so nobody else takes it,
// but not listening.
class RefusingPort {
 public:
  RefusingPort() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot reserve a port");
    }
    port_ = ntohs(address.sin_port);
  }
  ~RefusingPort() { close(fd_); }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int fd_;
  std::uint16_t port_ = 0;
};

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
