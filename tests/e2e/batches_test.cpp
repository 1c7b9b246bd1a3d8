// Pipelined batches against the reference service: the same answers as the
// one-by-one listings and sizes, over many windows.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "service_process.h"
#include "session_fixture.h"
#include "temp_dir.h"

namespace korvex::test {
namespace {

namespace fs = std::filesystem;

struct Seen {
  std::string name;
  bool isDirectory;
  unsigned size;
  bool operator==(const Seen&) const = default;
};

std::vector<std::string> names(SessionHandle handle, const char* path,
                               int (*lister)(SessionHandle, const char*, char**)) {
  char* buffer = nullptr;
  std::vector<std::string> all;
  if (lister(handle, path, &buffer) <= 0) return all;
  std::string text(buffer);
  FreeBuffer(buffer);
  for (std::size_t start = 0, slash; (slash = text.find('/', start)) != std::string::npos; start = slash + 1) {
    const std::string name = text.substr(start, slash - start);
    if (!name.empty() && name != "." && name != "..") all.push_back(name);
  }
  return all;
}

class ServiceBatches : public ::testing::Test {
 protected:
  ServiceBatches() {
    int error = -1;
    handle = Connect(service.address().c_str(), service.password().c_str(), &error);
    EXPECT_EQ(0, error);
  }
  ~ServiceBatches() override { endSession(handle); }

  // `files` files of distinct sizes (37 bytes apart) and `directories`
  // subdirectories in /big.
  void fill(int files, int directories) {
    const fs::path big = service.root() / "big";
    fs::create_directories(big);
    for (int i = 0; i < directories; ++i) fs::create_directories(big / ("sub" + std::to_string(i)));
    for (int i = 0; i < files; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "f%04d", i);
      writeFile(big / name, "");
      fs::resize_file(big / name, static_cast<std::uintmax_t>(i) * 37);
    }
  }

  ServiceProcess service;
  SessionHandle handle = nullptr;
};

TEST_F(ServiceBatches, EntriesMatchTheListingsAndSizesOneByOne) {
  ASSERT_NE(nullptr, handle);
  fill(1000, 3);
  std::vector<Seen> expected;
  for (const std::string& name : names(handle, "/big", &GetDirectories)) expected.push_back({name, true, 0});
  for (const std::string& name : names(handle, "/big", &GetFiles)) {
    expected.push_back({name, false, static_cast<unsigned>(FileSize(handle, ("/big/" + name).c_str()))});
  }
  ASSERT_EQ(1003u, expected.size());

  KorvexEntry* entries = nullptr;
  const int count = GetEntries(handle, "/big", &entries);
  ASSERT_EQ(1003, count);
  std::vector<Seen> got;
  for (int i = 0; i < count; ++i) got.push_back({entries[i].name, entries[i].isDirectory != 0, entries[i].size});
  FreeEntries(entries);
  EXPECT_EQ(expected, got);
  for (const Seen& entry : got) {
    if (!entry.isDirectory) {
      EXPECT_EQ(fs::file_size(service.root() / "big" / entry.name), entry.size) << entry.name;
    }
  }

  fs::create_directories(service.root() / "empty");
  entries = nullptr;
  EXPECT_EQ(0, GetEntries(handle, "/empty", &entries));
  EXPECT_EQ(nullptr, entries);
  EXPECT_EQ(-1, GetEntries(handle, "/missing", &entries));
  EXPECT_EQ(1, Exists(handle, "/big"));  // a refusal leaves the session usable
}

TEST_F(ServiceBatches, SizesOfPresentAndMissingPathsOverManyWindows) {
  ASSERT_NE(nullptr, handle);
  fill(400, 0);
  // Every other path is missing: 800 requests, more than three windows.
  std::vector<std::string> paths;
  std::vector<long long> expected;
  for (int i = 0; i < 400; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/big/f%04d", i);
    paths.push_back(name);
    expected.push_back(static_cast<long long>(i) * 37);
    paths.push_back(std::string(name) + ".gone");
    expected.push_back(-1);
  }
  std::vector<const char*> texts;
  for (const std::string& path : paths) texts.push_back(path.c_str());
  std::vector<long long> sizes(paths.size(), 12345);
  ASSERT_EQ(static_cast<int>(paths.size()), GetSizes(handle, texts.data(), static_cast<int>(texts.size()), sizes.data()));
  EXPECT_EQ(expected, sizes);
  EXPECT_EQ(37, FileSize(handle, "/big/f0001"));  // the stream is in step after the batch
}

// Over several windows, every kind of path: the answers match the
// service's files one by one.
TEST_F(ServiceBatches, KindsOfFilesDirectoriesAndMissingPaths) {
  ASSERT_NE(nullptr, handle);
  fill(100, 100);
  std::vector<std::string> paths;
  std::vector<int> expectedKinds;
  std::vector<long long> expectedSizes;
  for (int i = 0; i < 100; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/big/f%04d", i);
    for (const auto& [path, kind, size] : {std::tuple{std::string(name), KORVEX_KIND_FILE, i * 37LL},
                                           std::tuple{"/big/sub" + std::to_string(i), KORVEX_KIND_DIRECTORY, -1LL},
                                           std::tuple{std::string(name) + ".gone", KORVEX_KIND_MISSING, -1LL}}) {
      paths.push_back(path);
      expectedKinds.push_back(kind);
      expectedSizes.push_back(size);
    }
  }
  std::vector<const char*> texts;
  for (const std::string& path : paths) texts.push_back(path.c_str());
  std::vector<int> kinds(paths.size(), 9);
  std::vector<long long> sizes(paths.size(), 9);
  ASSERT_EQ(static_cast<int>(paths.size()),
            GetKinds(handle, texts.data(), static_cast<int>(texts.size()), kinds.data(), sizes.data()));
  EXPECT_EQ(expectedKinds, kinds);
  EXPECT_EQ(expectedSizes, sizes);
  EXPECT_EQ(37, FileSize(handle, "/big/f0001"));  // the stream is in step after the batch
}

// Uploads back to back land whole, next to one the phone refuses (into a
// missing directory) and one that cannot be read here; the session is still
// in step afterwards.
TEST_F(ServiceBatches, UploadsBackToBackLandWhole) {
  ASSERT_NE(nullptr, handle);
  TempDir local;
  fs::create_directories(service.root() / "up");
  std::vector<std::string> locals, phones, contents;
  for (int i = 0; i < 40; ++i) {
    contents.push_back(patterned(static_cast<std::size_t>(i) * 997, static_cast<unsigned>(i)));
    locals.push_back((local / ("f" + std::to_string(i))).string());
    writeFile(locals.back(), contents.back());
    phones.push_back("/up/f" + std::to_string(i));
  }
  phones[7] = "/no/such/dir/f7";
  locals[9] = (local / "missing").string();
  std::vector<const char*> localTexts, phoneTexts;
  for (std::size_t i = 0; i < locals.size(); ++i) {
    localTexts.push_back(locals[i].c_str());
    phoneTexts.push_back(phones[i].c_str());
  }
  std::vector<int> landed(locals.size(), -7);
  ASSERT_EQ(38, UploadFiles(handle, localTexts.data(), phoneTexts.data(), static_cast<int>(locals.size()), landed.data()));
  for (std::size_t i = 0; i < locals.size(); ++i) {
    const bool fails = i == 7 || i == 9;
    EXPECT_EQ(fails ? 0 : 1, landed[i]) << i;
    if (!fails) {
      EXPECT_EQ(contents[i], readFile(service.root() / "up" / ("f" + std::to_string(i)))) << i;
    }
  }
  EXPECT_EQ(0, Exists(handle, "/up/f9"));
  EXPECT_EQ(997, FileSize(handle, "/up/f1"));
}

// 300 small files downloaded in one series land whole beside one the phone
// lacks, which fails alone and leaves its destination as it was; one
// larger file among them crosses many windows' worth of bytes. The session
// is still in step afterwards.
TEST_F(ServiceBatches, DownloadsPipelinedLandWhole) {
  ASSERT_NE(nullptr, handle);
  TempDir local;
  fs::create_directories(service.root() / "down");
  constexpr int kFiles = 300, kMissing = 150;
  std::vector<std::string> locals, phones, contents;
  for (int i = 0; i < kFiles; ++i) {
    contents.push_back(patterned(i == 200 ? 3u << 20 : static_cast<std::size_t>(i) * 211, static_cast<unsigned>(i)));
    phones.push_back("/down/f" + std::to_string(i));
    if (i != kMissing) writeFile(service.root() / "down" / ("f" + std::to_string(i)), contents.back());
    locals.push_back((local / ("f" + std::to_string(i))).string());
  }
  writeFile(locals[kMissing], "kept");
  std::vector<const char*> localTexts, phoneTexts;
  for (int i = 0; i < kFiles; ++i) {
    localTexts.push_back(locals[static_cast<std::size_t>(i)].c_str());
    phoneTexts.push_back(phones[static_cast<std::size_t>(i)].c_str());
  }
  std::vector<int> landed(kFiles, -7);
  ASSERT_EQ(kFiles - 1, DownloadFiles(handle, phoneTexts.data(), localTexts.data(), kFiles, landed.data()));
  for (int i = 0; i < kFiles; ++i) {
    const auto at = static_cast<std::size_t>(i);
    EXPECT_EQ(i == kMissing ? 0 : 1, landed[at]) << i;
    EXPECT_EQ(i == kMissing ? "kept" : contents[at], readFile(locals[at])) << i;
  }
  EXPECT_EQ(static_cast<std::ptrdiff_t>(kFiles), std::distance(fs::directory_iterator(local.path()), {}));
  EXPECT_EQ(211, FileSize(handle, "/down/f1"));
}

}  // namespace
}  // namespace korvex::test
