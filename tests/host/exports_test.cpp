// The library as a host loads it: its dynamic symbols, shared entry points,
// and a load and unload that leave nothing behind.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "korvex.h"

namespace {

namespace fs = std::filesystem;

std::set<std::string> definedDynamicSymbols(const std::string& library) {
  std::set<std::string> names;
  FILE* nm = ::popen(("nm -D --defined-only " + library).c_str(), "r");
  if (nm == nullptr) return names;
  std::array<char, 512> line;
  while (std::fgets(line.data(), line.size(), nm)) {
    std::istringstream fields(line.data());
    std::string address, type, name;
    if (fields >> address >> type >> name) names.insert(name);
  }
  ::pclose(nm);
  return names;
}

std::size_t entries(const char* dir) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

// The names the export map makes global: the library is linked with it, and
// test_abi.py checks it against korvex.h.
std::set<std::string> mapNames() {
  std::ifstream file(KORVEX_EXPORT_MAP);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::size_t global = text.find("global:"), local = text.find("local:");
  std::set<std::string> names;
  if (global == std::string::npos || local == std::string::npos) return names;
  std::istringstream lines(text.substr(global, local - global));
  for (std::string line; std::getline(lines, line);) {
    std::smatch name;
    if (std::regex_search(line, name, std::regex(R"(^\s*(\w+);)"))) names.insert(name[1]);
  }
  return names;
}

TEST(ExportTable, ExactlyTheNamesOfTheExportMap) {
  const std::set<std::string> listed = mapNames();
  EXPECT_EQ(1u, listed.count(KORVEX_CHOWN_SYMBOL));
  EXPECT_EQ(listed, definedDynamicSymbols(KORVEX_LIBRARY));
}

class LoadedLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    handle = ::dlopen(KORVEX_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, handle) << ::dlerror();
  }
  void TearDown() override {
    if (handle) ::dlclose(handle);
  }
  template <typename F>
  F* symbol(const char* name) {
    return reinterpret_cast<F*>(::dlsym(handle, name));
  }
  void* handle = nullptr;
};

TEST_F(LoadedLibrary, AliasGroupsShareOneEntryAndChownIsDecorated) {
  EXPECT_NE(nullptr, symbol<void>("GetAttribute"));
  EXPECT_EQ(symbol<void>("GetAttribute"), symbol<void>("GetSize"));
  EXPECT_NE(nullptr, symbol<void>("RestartiPod"));
  EXPECT_EQ(symbol<void>("RestartiPod"), symbol<void>("ScreenSnap"));
  EXPECT_EQ(symbol<void>("RestartiPod"), symbol<void>("SetAttribute"));
  EXPECT_NE(symbol<void>("GetAttribute"), symbol<void>("RestartiPod"));
  EXPECT_EQ(nullptr, symbol<void>("Chown"));
  EXPECT_NE(nullptr, symbol<void>(KORVEX_CHOWN_SYMBOL));
}

TEST_F(LoadedLibrary, FixedResultsWriteNoLogLine) {
  const fs::path log = fs::temp_directory_path() / ("korvex-fixed-" + std::to_string(::getpid()) + ".log");
  auto enableLog = symbol<int(bool, unsigned, const char*)>("EnableLog");
  ASSERT_NE(nullptr, enableLog);
  EXPECT_EQ(1, enableLog(true, 2, log.c_str()));  // below INFO: not even the "opened" line
  enableLog(true, 8, nullptr);
  // Hosts may pass arguments the entries do not use.
  auto getAttribute = symbol<int(int, const char*)>("GetAttribute");
  auto getSize = symbol<int()>("GetSize");
  auto restartiPod = symbol<bool(void*)>("RestartiPod");
  auto screenSnap = symbol<bool()>("ScreenSnap");
  auto setAttribute = symbol<bool(int, int)>("SetAttribute");
  EXPECT_EQ(0, getAttribute(5, "x"));
  EXPECT_EQ(0, getSize());
  EXPECT_TRUE(restartiPod(nullptr));
  EXPECT_TRUE(screenSnap());
  EXPECT_TRUE(setAttribute(1, 2));
  symbol<void(void*)>("FreeBuffer")(nullptr);
  enableLog(false, 0, nullptr);
  EXPECT_EQ(0u, fs::file_size(log));
  fs::remove(log);
}

TEST(ModuleLifecycle, LoadAndUnloadLeaveNothingBehind) {
  const std::size_t fds = entries("/proc/self/fd");
  const std::size_t threads = entries("/proc/self/task");
  for (int i = 0; i < 3; ++i) {
    void* handle = ::dlopen(KORVEX_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, handle) << ::dlerror();
    auto getSize = reinterpret_cast<int (*)()>(::dlsym(handle, "GetSize"));
    EXPECT_EQ(0, getSize());
    EXPECT_EQ(0, ::dlclose(handle));
  }
  EXPECT_EQ(fds, entries("/proc/self/fd"));
  EXPECT_EQ(threads, entries("/proc/self/task"));
}

TEST(PublicHeader, CompilesAsCAndCxx) {
  const fs::path dir = fs::temp_directory_path() / ("korvex-header-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "use.c") << "#include \"korvex.h\"\nint main(void) { return GetSize(); }\n";
  std::ofstream(dir / "use.cpp") << "#include \"korvex.h\"\nint main() { return Chown(0, nullptr, 0, 0) ? 1 : 0; }\n";
  const std::string include = std::string(" -I") + KORVEX_INCLUDE_DIR + " ";
  EXPECT_EQ(0, std::system(("cc -std=c99 -Wall -Wextra -Werror -fsyntax-only" + include + (dir / "use.c").string()).c_str()));
  EXPECT_EQ(0, std::system(("c++ -std=c++11 -Wall -Wextra -Werror -fsyntax-only" + include + (dir / "use.cpp").string()).c_str()));
  fs::remove_all(dir);
}

}  // namespace
