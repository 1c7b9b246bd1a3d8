// Shared setup of the service tests: korvexd on a fresh root, a way to log a
// raw client in, and file helpers for checking effects on disk.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "raw_client.h"
#include "service_process.h"

namespace korvex::test {

namespace fs = std::filesystem;

inline void writeFile(const fs::path& path, const Bytes& content) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
}

inline Bytes readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ServiceTest : public ::testing::Test {
 protected:
  explicit ServiceTest(ServiceProcess::Options options = {}) : service_(std::move(options)) {}

  // A sanitizer report or a crash in korvexd shows only as its exit status.
  void TearDown() override {
    int status = service_.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "korvexd ended with status " << status << "; its log:\n" << service_.log();
  }

  const fs::path& root() const { return service_.root(); }

  // A connection that has passed the login; fails the test otherwise.
  std::unique_ptr<RawClient> loggedIn() {
    auto client = std::make_unique<RawClient>(service_.port());
    EXPECT_TRUE(client->connected());
    EXPECT_EQ(client->login(service_.password()), service_.deviceName());
    return client;
  }

  ServiceProcess service_;
};

}  // namespace korvex::test
