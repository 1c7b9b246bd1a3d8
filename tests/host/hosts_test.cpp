// Host programs in C, C++ and Python against the reference service, and the
// installed package as a host project would use it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "service_process.h"

namespace korvex::test {
namespace {

int run(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool sanitized() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return true;
#else
  return false;
#endif
}

std::string quoted(const std::string& s) { return "'" + s + "'"; }

TEST(Hosts, CHost) {
  ServiceProcess service;
  const std::string local = (service.root().parent_path() / "c-local").string();
  std::filesystem::create_directories(local);
  EXPECT_EQ(0, run(std::string(KORVEX_C_HOST) + " " + service.address() + " " + quoted(service.password()) + " " + local));
  EXPECT_TRUE(std::filesystem::exists(service.root() / "from-c" / "file.txt"));
}

TEST(Hosts, CppHostReachesChown) {
  ServiceProcess service;
  EXPECT_EQ(0, run(std::string(KORVEX_CPP_HOST) + " " + service.address() + " " + quoted(service.password())));
}

TEST(Hosts, PythonCtypesHost) {
  // A sanitized library cannot be loaded into an interpreter built without it.
  if (sanitized()) GTEST_SKIP() << "sanitizer build";
  ServiceProcess service;
  EXPECT_EQ(0, run("python3 " + std::string(KORVEX_HOST_DIR) + "/ctypes_host.py " + KORVEX_LIBRARY + " " +
                   service.address() + " " + quoted(service.password())));
  EXPECT_TRUE(std::filesystem::is_directory(service.root() / "from-python" / "inner"));
}

TEST(Hosts, InstalledPackageBuildsCAndCxxHosts) {
  if (sanitized()) GTEST_SKIP() << "sanitizer build";
  ServiceProcess service;
  EXPECT_EQ(0, run(std::string(KORVEX_HOST_DIR) + "/check_install.sh " + KORVEX_BUILD_DIR + " " + KORVEX_HOST_DIR +
                   " " + service.address() + " " + quoted(service.password()) + " " + KORVEX_WITH_CLIENT));
}

}  // namespace
}  // namespace korvex::test
