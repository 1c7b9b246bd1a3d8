// Every path, device and listing command through the library against the
// reference service, checked on the service's disk.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <sstream>
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "service_process.h"
#include "session_fixture.h"
#include "temp_dir.h"

namespace korvex::test {
namespace {

namespace fs = std::filesystem;

std::set<std::string> split(const char* buffer) {
  std::set<std::string> names;
  std::stringstream in(buffer);
  for (std::string name; std::getline(in, name, '/');) names.insert(name);
  return names;
}

// The service's own user, to give a file to: on Windows the service's
// launcher names it.
#if defined(_WIN32)
int serviceUser() { return std::atoi(std::getenv("KORVEX_TEST_SERVICE_UID")); }
int serviceGroup() { return std::atoi(std::getenv("KORVEX_TEST_SERVICE_GID")); }
#else
int serviceUser() { return static_cast<int>(::getuid()); }
int serviceGroup() { return static_cast<int>(::getgid()); }
#endif

class ServiceCommands : public ::testing::Test {
 protected:
  ServiceCommands() {
    int error = -1;
    handle = Connect(service.address().c_str(), service.password().c_str(), &error);
    EXPECT_EQ(0, error);
  }
  ~ServiceCommands() override { endSession(handle); }

  ServiceProcess service;
  SessionHandle handle = nullptr;
};

TEST_F(ServiceCommands, StateNamesTheDevice) {
  ASSERT_NE(nullptr, handle);
  char connected = 0;
  char address[64];
  char name[64];
  ConnectionState(handle, &connected, address, name);
  EXPECT_EQ(1, connected);
  EXPECT_EQ(service.address(), address);
  EXPECT_EQ(service.deviceName(), name);
}

TEST_F(ServiceCommands, WrongPasswordIsALoginFailure) {
  int error = -1;
  EXPECT_EQ(nullptr, Connect(service.address().c_str(), "wrong", &error));
  EXPECT_EQ(2, error);
}

TEST_F(ServiceCommands, PathsAndDirectories) {
  ASSERT_NE(nullptr, handle);
  const fs::path& root = service.root();
  EXPECT_TRUE(CreatePhoneDirectory(handle, "/docs"));
  EXPECT_TRUE(fs::is_directory(root / "docs"));
  EXPECT_FALSE(CreatePhoneDirectory(handle, "/docs"));  // already there
  writeFile(root / "docs" / "a.txt", std::string(300, 'a'));

  EXPECT_EQ(1, Exists(handle, "/docs/a.txt"));
  EXPECT_EQ(0, Exists(handle, "/docs/none"));
  EXPECT_EQ(1, IsDirectory(handle, "/docs"));
  EXPECT_EQ(0, IsDirectory(handle, "/docs/a.txt"));
  EXPECT_EQ(1, HasDirectories(handle, "/docs"));
  EXPECT_EQ(300, FileSize(handle, "/docs/a.txt"));
  EXPECT_EQ(-1, FileSize(handle, "/docs/none"));

  EXPECT_TRUE(Rename(handle, "/docs/a.txt", "/docs/b.txt"));
  EXPECT_TRUE(fs::exists(root / "docs" / "b.txt"));
  EXPECT_FALSE(Rename(handle, "/docs/a.txt", "/docs/c.txt"));

  char path[] = "/docs/b.txt";
  EXPECT_TRUE(Chown(reinterpret_cast<std::uintptr_t>(handle), path, serviceUser(), serviceGroup()));

  EXPECT_FALSE(DeleteDirectory(handle, "/docs", false));  // not empty
  EXPECT_TRUE(DeletePhoneFile(handle, "/docs/b.txt"));
  EXPECT_FALSE(DeletePhoneFile(handle, "/docs/b.txt"));
  EXPECT_TRUE(DeleteDirectory(handle, "/docs", false));
  EXPECT_FALSE(fs::exists(root / "docs"));

  fs::create_directories(root / "tree" / "deep" / "er");
  writeFile(root / "tree" / "deep" / "f", "x");
  EXPECT_TRUE(DeleteDirectory(handle, "/tree", true));
  EXPECT_FALSE(fs::exists(root / "tree"));
  EXPECT_GT(GetSpaceSize(handle, "/"), 0);
}

TEST_F(ServiceCommands, ListingsSeparateFilesFromDirectories) {
  ASSERT_NE(nullptr, handle);
  const fs::path dir = service.root() / "list";
  fs::create_directories(dir / "sub1");
  fs::create_directories(dir / "sub2");
  writeFile(dir / "one", "1");
  writeFile(dir / "two", "22");
  char* files = nullptr;
  ASSERT_EQ(8, GetFiles(handle, "/list", &files));
  EXPECT_EQ((std::set<std::string>{"one", "two"}), split(files));
  FreeBuffer(files);
  char* dirs = nullptr;
  ASSERT_EQ(10, GetDirectories(handle, "/list", &dirs));
  EXPECT_EQ((std::set<std::string>{"sub1", "sub2"}), split(dirs));
  FreeBuffer(dirs);
  char* none = nullptr;
  EXPECT_EQ(0, GetDirectories(handle, "/list/sub1", &none));
  EXPECT_EQ(nullptr, none);
  EXPECT_EQ(-1, GetFiles(handle, "/missing", &none));
  EXPECT_EQ(1, Exists(handle, "/list/one"));  // still in step after the refusal
}

TEST_F(ServiceCommands, ManyNamesInOneListing) {
  ASSERT_NE(nullptr, handle);
  const fs::path dir = service.root() / "many";
  fs::create_directories(dir);
  std::set<std::string> expected;
  for (int i = 0; i < 2000; ++i) {
    const std::string name = "file-" + std::to_string(i);
    writeFile(dir / name, "");
    expected.insert(name);
  }
  char* files = nullptr;
  ASSERT_GT(GetFiles(handle, "/many", &files), 0);
  EXPECT_EQ(expected, split(files));
  FreeBuffer(files);
}

TEST(ServicePower, ShutdownEndsTheServiceAndTheSession) {
#if defined(_WIN32)
  GTEST_SKIP() << "needs a service of its own, which Windows tests cannot start";
#endif
  ServiceProcess::Options options;
  options.extraArgs = {"--power-exits"};
  ServiceProcess service(options);
  SessionHandle handle = Connect(service.address().c_str(), service.password().c_str(), nullptr);
  ASSERT_NE(nullptr, handle);
  EXPECT_TRUE(Shutdown(handle));
  EXPECT_TRUE(service.waitExit(std::chrono::seconds(5)).has_value());
  EXPECT_TRUE(waitUntilDisconnected(handle, std::chrono::milliseconds(5000)));
  EXPECT_FALSE(CreatePhoneDirectory(handle, "/x"));
  endSession(handle);
}

}  // namespace
}  // namespace korvex::test
