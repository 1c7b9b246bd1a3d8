// Downloads and uploads: exact framing, byte-identical round trips, and what a
// broken upload leaves on disk.
#include <sys/resource.h>

#include <cstdlib>
#include <functional>

#include "service_fixture.h"

namespace korvex::test {
namespace {

namespace proto = korvex::protocol;

class TransferTest : public ServiceTest {
 protected:
  void SetUp() override { client_ = loggedIn(); }

  std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::unique_ptr<RawClient> client_;
};

TEST_F(TransferTest, DownloadSendsHeaderThenExactlyTheFile) {
  Bytes content = patternBytes(1501);
  writeFile(root() / "f.bin", content);
  ASSERT_TRUE(client_->request(proto::CMD_DOWNLOAD, proto::pathBlock("/f.bin")));
  auto header = client_->reply();
  ASSERT_TRUE(header);
  EXPECT_EQ(header->status, 0);
  EXPECT_EQ(header->value, 1501u);
  EXPECT_EQ(client_->read(1501), content);
  // Nothing follows the content: the next 40 bytes are the keep-alive reply.
  ASSERT_TRUE(client_->request(proto::CMD_KEEPALIVE));
  auto next = client_->reply();
  ASSERT_TRUE(next);
  EXPECT_EQ(next->status, 0);
  EXPECT_EQ(next->value, 0u);
}

TEST_F(TransferTest, RoundTripsAreByteIdentical) {
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{1500}, std::size_t{1501},
                           std::size_t{3 * 1024 * 1024 + 7}}) {
    SCOPED_TRACE(size);
    Bytes content = patternBytes(size, static_cast<unsigned>(size));
    std::string name = "/up-" + std::to_string(size);
    ASSERT_EQ(client_->upload(name, content), 0);
    // The upload has no closing reply; a keep-alive proves the service took it all.
    ASSERT_EQ(client_->status(proto::CMD_KEEPALIVE), 0);
    EXPECT_EQ(readFile(root() / name.substr(1)), content);
    EXPECT_EQ(client_->download(name), content);
  }
  // Only the uploaded files are left: no temporary file survives.
  EXPECT_EQ(entries(root()).size(), 5u);
}

TEST_F(TransferTest, UploadReplacesAnExistingFile) {
  writeFile(root() / "f", patternBytes(5000, 3));
  Bytes content = patternBytes(10, 4);
  ASSERT_EQ(client_->upload("/f", content), 0);
  ASSERT_EQ(client_->status(proto::CMD_KEEPALIVE), 0);
  EXPECT_EQ(readFile(root() / "f"), content);
}

TEST_F(TransferTest, RefusedTransfersKeepTheStreamInStep) {
  fs::create_directories(root() / "dir");
  ASSERT_TRUE(client_->request(proto::CMD_DOWNLOAD, proto::pathBlock("/missing")));
  auto header = client_->reply();
  ASSERT_TRUE(header);
  EXPECT_EQ(header->status, 1);
  EXPECT_EQ(client_->download("/dir"), std::nullopt);
  EXPECT_EQ(client_->upload("/dir", Bytes(10)), 1);
  EXPECT_EQ(client_->upload("/no/such/dir/f", Bytes(10)), 1);
  EXPECT_EQ(client_->upload("/", Bytes(10)), 1);
  EXPECT_EQ(client_->status(proto::CMD_KEEPALIVE), 0);
  EXPECT_EQ(entries(root()), std::vector<std::string>{"dir"});
}

TEST_F(TransferTest, FilesOfFourGiBOrMoreAreRefusedNotMisannounced) {
  std::ofstream(root() / "huge").close();
  std::error_code error;
  fs::resize_file(root() / "huge", std::uintmax_t{1} << 32, error);  // sparse: takes no space
  if (error) GTEST_SKIP() << "no sparse 4 GiB file here: " << error.message();
  EXPECT_EQ(client_->status(proto::CMD_FILE_SIZE, "/huge"), 1);
  EXPECT_EQ(client_->download("/huge"), std::nullopt);
  EXPECT_EQ(client_->status(proto::CMD_KEEPALIVE), 0);
}

TEST_F(TransferTest, BrokenUploadLeavesNoFileAndKeepsTheOldOne) {
  writeFile(root() / "kept", Bytes{'o', 'l', 'd'});
  for (std::string name : {"fresh", "kept"}) {
    SCOPED_TRACE(name);
    auto client = loggedIn();
    ASSERT_EQ(client->status(proto::CMD_UPLOAD, proto::uploadBlock("/" + name, 100000)), 0);
    ASSERT_TRUE(client->send(patternBytes(30000)));
    client->close();
    ASSERT_TRUE(service_.waitForLog("upload of \"/" + name + "\" broken after 30000 of 100000 bytes"));
  }
  EXPECT_EQ(entries(root()), std::vector<std::string>{"kept"});
  EXPECT_EQ(readFile(root() / "kept"), (Bytes{'o', 'l', 'd'}));
}

// A file the service cannot write whole (here: over its file-size limit),
// whether it went through memory or was spliced, leaves the old file, and
// the connection is closed: an upload has no closing reply, so the client's
// next exchange must fail rather than find the old file.
TEST_F(TransferTest, AnUploadTheDiskCannotHoldClosesTheConnectionAndLeavesTheOldFile) {
  const rlimit limit{64 * 1024, 64 * 1024};
  ASSERT_EQ(0, ::prlimit(static_cast<pid_t>(service_.pid()), RLIMIT_FSIZE, &limit, nullptr));
  writeFile(root() / "kept", Bytes{'o', 'l', 'd'});
  for (const std::size_t size : {std::size_t{65 * 1024}, std::size_t{3 << 20}}) {  // memory, splice
    SCOPED_TRACE(size);
    auto client = loggedIn();
    ASSERT_EQ(client->upload("/kept", patternBytes(size)), 0);
    EXPECT_EQ(client->status(proto::CMD_FILE_SIZE, "/kept"), std::nullopt);  // closed
    EXPECT_EQ(readFile(root() / "kept"), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(entries(root()), std::vector<std::string>{"kept"});
  }
  EXPECT_TRUE(service_.waitForLog("upload of \"/kept\" not stored: ")) << service_.log();
}

TEST_F(TransferTest, UploadTemporariesNeverShowAndTheirNamesAreReserved) {
  auto uploader = loggedIn();
  ASSERT_EQ(uploader->status(proto::CMD_UPLOAD, proto::uploadBlock("/growing", 100000)), 0);
  ASSERT_TRUE(uploader->send(patternBytes(30000)));
  ASSERT_EQ(entries(root()).size(), 1u);  // the temporary file, and nothing under the real name
  EXPECT_EQ(client_->list(proto::CMD_LIST_FILES, "/"), std::vector<std::string>{});

  writeFile(root() / "f", Bytes{1});
  struct Case {
    std::uint32_t code;
    proto::RequestBlock block;
    std::int32_t status;
  };
  const Case cases[] = {
      {proto::CMD_UPLOAD, proto::uploadBlock("/.korvexd-upload-1-1", 0), 1},
      {proto::CMD_MAKE_DIR, proto::pathBlock("/.korvexd-upload-d"), 1},
      {proto::CMD_RENAME, proto::renameBlock("/f", "/.korvexd-upload-2-2"), 1},
      // Only the prefix is reserved.
      {proto::CMD_UPLOAD, proto::uploadBlock("/x.korvexd-upload-1-1", 0), 0},
      {proto::CMD_MAKE_DIR, proto::pathBlock("/.korvexd-uploads"), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(proto::getWord(c.block.data() + proto::PATH_FIELD_SIZE * (c.code == proto::CMD_RENAME)));
    EXPECT_EQ(client_->status(c.code, c.block), c.status);
  }
  EXPECT_TRUE(service_.waitForLog("name reserved for uploads in progress"));
  EXPECT_EQ(client_->list(proto::CMD_LIST_FILES, "/"), (std::vector<std::string>{"f", "x.korvexd-upload-1-1"}));
  EXPECT_EQ(client_->list(proto::CMD_LIST_DIRS, "/"), std::vector<std::string>{".korvexd-uploads"});

  ASSERT_TRUE(uploader->send(patternBytes(70000)));
  ASSERT_EQ(uploader->status(proto::CMD_KEEPALIVE), 0);
  EXPECT_EQ(client_->list(proto::CMD_LIST_FILES, "/"),
            (std::vector<std::string>{"f", "growing", "x.korvexd-upload-1-1"}));
}

// The one temporary file of an upload in progress in the root.
std::string uploadTemporary(const fs::path& dir) {
  std::string found;
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    if (name.starts_with(".korvexd-upload-")) {
      EXPECT_TRUE(found.empty()) << found << " and " << name;
      found = name;
    }
  }
  EXPECT_FALSE(found.empty());
  return found;
}

// The file-creation mask korvexd inherited from this process, read without
// changing it.
fs::perms inheritedUmask() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("Umask:")) return static_cast<fs::perms>(std::strtoul(line.c_str() + 6, nullptr, 8));
  }
  ADD_FAILURE() << "no Umask line in /proc/self/status";
  return fs::perms::none;
}

fs::perms modeOf(const fs::path& path) { return fs::status(path).permissions() & fs::perms::mask; }

TEST_F(TransferTest, AnUploadIsPrivateWhileItArrivesAndThenKeepsTheModeOfTheFileItReplaces) {
  using P = fs::perms;
  const P newFile = (P::owner_read | P::owner_write | P::group_read | P::group_write | P::others_read |
                     P::others_write) & ~inheritedUmask();
  struct Case {
    const char* name;
    std::optional<P> before;  // none: the upload makes a new file
    P after;
  };
  const Case cases[] = {
      {"private", P::owner_read | P::owner_write, P::owner_read | P::owner_write},
      {"shared", P::owner_read | P::owner_write | P::group_read, P::owner_read | P::owner_write | P::group_read},
      {"script", P::owner_all | P::group_read | P::group_exec | P::others_read | P::others_exec,
       P::owner_all | P::group_read | P::group_exec | P::others_read | P::others_exec},
      {"readable-by-others", P::owner_read | P::owner_write | P::others_read,
       P::owner_read | P::owner_write | P::others_read},
      {"new", std::nullopt, newFile},
  };
  const Bytes content = patternBytes(100000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = root() / c.name;
    if (c.before) {
      writeFile(file, Bytes{'o', 'l', 'd'});
      fs::permissions(file, *c.before, fs::perm_options::replace);
    }
    ASSERT_EQ(client_->status(proto::CMD_UPLOAD, proto::uploadBlock(std::string("/") + c.name, 100000)), 0);
    ASSERT_TRUE(client_->send(content.data(), 30000));
    // The arriving bytes are nobody else's business, whatever the file's mode will be.
    EXPECT_EQ(modeOf(root() / uploadTemporary(root())), P::owner_read | P::owner_write);
    ASSERT_TRUE(client_->send(content.data() + 30000, content.size() - 30000));
    ASSERT_EQ(client_->status(proto::CMD_KEEPALIVE), 0);
    EXPECT_EQ(readFile(file), content);
    EXPECT_EQ(modeOf(file), c.after);
  }
}

// An upload in progress is answered as missing, whatever the request, so no
// other client can read, move, remove or change it before it lands.
TEST_F(TransferTest, NoRequestReachesAnUploadInProgress) {
  auto uploader = loggedIn();
  const Bytes content = patternBytes(100000);
  ASSERT_EQ(uploader->status(proto::CMD_UPLOAD, proto::uploadBlock("/growing", 100000)), 0);
  ASSERT_TRUE(uploader->send(content.data(), 30000));
  const std::string temp = "/" + uploadTemporary(root());
  writeFile(root() / "f", Bytes{1});

  using Ask = std::function<std::optional<std::int64_t>(const std::string&)>;
  RawClient& c = *client_;
  auto status = [&c](std::uint32_t code, const proto::RequestBlock& block) -> std::optional<std::int64_t> {
    return c.status(code, block);
  };
  struct Case {
    const char* name;
    Ask ask;
    const char* missing = "/absent";  // a path the request finds missing
  };
  const Case cases[] = {
      {"EXISTS", [&](const std::string& p) { return status(proto::CMD_EXISTS, proto::pathBlock(p)); }},
      {"EXISTS below", [&](const std::string& p) { return status(proto::CMD_EXISTS, proto::pathBlock(p + "/x")); }},
      {"IS_DIR", [&](const std::string& p) { return status(proto::CMD_IS_DIR, proto::pathBlock(p)); }},
      {"FILE_SIZE", [&](const std::string& p) { return status(proto::CMD_FILE_SIZE, proto::pathBlock(p)); }},
      {"CHOWN", [&](const std::string& p) { return status(proto::CMD_CHOWN, proto::chownBlock(p, -1, -1)); }},
      {"RENAME from", [&](const std::string& p) { return status(proto::CMD_RENAME, proto::renameBlock(p, "/moved")); }},
      {"RENAME to", [&](const std::string& p) { return status(proto::CMD_RENAME, proto::renameBlock("/f", p)); },
       "/absent/x"},
      {"DELETE_FILE", [&](const std::string& p) { return status(proto::CMD_DELETE_FILE, proto::pathBlock(p)); }},
      {"DELETE_DIR", [&](const std::string& p) { return status(proto::CMD_DELETE_DIR, proto::deleteDirBlock(p, true)); }},
      {"SPACE_SIZE", [&](const std::string& p) -> std::optional<std::int64_t> { return c.space(p); }},
      {"DOWNLOAD",
       [&](const std::string& p) -> std::optional<std::int64_t> {
         auto bytes = c.download(p);
         return bytes ? std::optional<std::int64_t>(static_cast<std::int64_t>(bytes->size())) : std::nullopt;
       }},
      {"LIST_FILES",
       [&](const std::string& p) -> std::optional<std::int64_t> {
         auto names = c.list(proto::CMD_LIST_FILES, p);
         return names ? std::optional<std::int64_t>(static_cast<std::int64_t>(names->size())) : std::nullopt;
       }},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.name);
    const std::optional<std::int64_t> missing = each.ask(each.missing);
    EXPECT_EQ(each.ask(temp), missing);
  }
  EXPECT_TRUE(fs::exists(root() / temp.substr(1)));
  EXPECT_TRUE(fs::exists(root() / "f"));
  EXPECT_FALSE(fs::exists(root() / "moved"));

  ASSERT_TRUE(uploader->send(content.data() + 30000, content.size() - 30000));
  ASSERT_EQ(uploader->status(proto::CMD_KEEPALIVE), 0);
  EXPECT_EQ(readFile(root() / "growing"), content);
}

// A service killed in mid-upload leaves its temporary file; the next start
// removes such files at any depth, and nothing else.
TEST(StaleUploads, RemovedAtStartAndNothingElse) {
  std::string pattern = (fs::temp_directory_path() / "korvexd-stale.XXXXXX").string();
  ASSERT_TRUE(mkdtemp(pattern.data()));
  const fs::path dir = pattern;
  struct Cleanup {
    fs::path dir;
    ~Cleanup() { fs::remove_all(dir); }
  } cleanup{dir};
  const fs::path served = dir / "served";
  const std::vector<fs::path> stale = {served / ".korvexd-upload-123-0", served / "a/b/.korvexd-upload-5-7"};
  const std::vector<fs::path> kept = {served / "keep", served / "x.korvexd-upload-1",
                                      served / ".korvexd-upload-dir/f", dir / "outside/.korvexd-upload-9-9"};
  for (const fs::path& path : stale) writeFile(path, Bytes{1});
  for (const fs::path& path : kept) writeFile(path, Bytes{2});
  fs::create_directory_symlink("../outside", served / "link");  // never followed

  ServiceProcess service(ServiceProcess::Options{.extraArgs = {"--root", served.string()}});
  EXPECT_TRUE(service.waitForLog("removed 2 temporary files of interrupted uploads"));
  for (const fs::path& path : stale) EXPECT_FALSE(fs::exists(path)) << path;
  for (const fs::path& path : kept) EXPECT_EQ(readFile(path), Bytes{2}) << path;
  const int status = service.stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << service.log();
}

}  // namespace
}  // namespace korvex::test
