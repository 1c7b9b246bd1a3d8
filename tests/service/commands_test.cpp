// Every command against a temporary root: the replies, byte for byte where the
// layout matters, and the effect on disk.
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "service_fixture.h"

namespace korvex::test {
namespace {

namespace proto = korvex::protocol;

Bytes replyBytes(std::int32_t status, std::uint32_t value = 0) {
  auto bytes = proto::encodeReply(status, value);
  return Bytes(bytes.begin(), bytes.end());
}

class CommandTest : public ServiceTest {
 protected:
  void SetUp() override { client_ = loggedIn(); }
  std::unique_ptr<RawClient> client_;
};

TEST_F(CommandTest, KeepaliveAnswersFortyBytes) {
  ASSERT_TRUE(client_->request(proto::CMD_KEEPALIVE));
  EXPECT_EQ(client_->read(40), replyBytes(0));
}

TEST_F(CommandTest, FileSizeReplyIsExact) {
  writeFile(root() / "tmp/a", Bytes(300, 'a'));
  ASSERT_TRUE(client_->request(proto::CMD_FILE_SIZE, proto::pathBlock("/tmp/a")));
  Bytes expected = {0x00, 0x00, 0x00, 0x00, 0x2C, 0x01, 0x00, 0x00};
  expected.resize(40, 0);
  EXPECT_EQ(client_->read(40), expected);

  EXPECT_EQ(client_->status(proto::CMD_FILE_SIZE, "tmp/a"), 0);  // relative to the root
  EXPECT_EQ(client_->status(proto::CMD_FILE_SIZE, "/tmp/missing"), 1);
  EXPECT_EQ(client_->status(proto::CMD_FILE_SIZE, "/tmp"), 1);
}

TEST_F(CommandTest, ListingsSendExactRecordsOfTheRightKind) {
  writeFile(root() / "d/b.txt", Bytes{1});
  writeFile(root() / "d/a.txt", Bytes{});
  fs::create_directories(root() / "d/sub1");
  fs::create_directories(root() / "d/sub2/deeper");
  fs::create_symlink("a.txt", root() / "d/link");

  ASSERT_TRUE(client_->request(proto::CMD_LIST_FILES, proto::pathBlock("/d")));
  Bytes expected = replyBytes(0);
  for (std::uint8_t byte : {2, 0, 0, 0}) expected.push_back(byte);
  for (std::string_view name : {"a.txt", "b.txt"}) {
    auto record = proto::encodeName(name);
    expected.insert(expected.end(), record.begin(), record.end());
  }
  EXPECT_EQ(client_->read(expected.size()), expected);

  EXPECT_EQ(client_->list(proto::CMD_LIST_DIRS, "/d"), (std::vector<std::string>{"sub1", "sub2"}));
  EXPECT_EQ(client_->list(proto::CMD_LIST_DIRS, "/"), (std::vector<std::string>{"d"}));
  EXPECT_EQ(client_->list(proto::CMD_LIST_FILES, "/d/sub1"), std::vector<std::string>{});
}

TEST_F(CommandTest, RefusedListingSendsNoTailAndStaysInStep) {
  writeFile(root() / "file", Bytes{1});
  ASSERT_TRUE(client_->request(proto::CMD_LIST_FILES, proto::pathBlock("/missing")));
  EXPECT_EQ(client_->read(40), replyBytes(1));
  EXPECT_EQ(client_->status(proto::CMD_LIST_DIRS, "/file"), 1);
  ASSERT_TRUE(client_->request(proto::CMD_KEEPALIVE));
  EXPECT_EQ(client_->read(40), replyBytes(0));
  EXPECT_TRUE(service_.waitForLog("refused LIST_FILES \"/missing\": No such file or directory"));
}

TEST_F(CommandTest, RenameMovesFilesAndDirectories) {
  writeFile(root() / "old.txt", Bytes{7});
  fs::create_directories(root() / "dir");
  EXPECT_EQ(client_->status(proto::CMD_RENAME, proto::renameBlock("/old.txt", "/dir/new.txt")), 0);
  EXPECT_FALSE(fs::exists(root() / "old.txt"));
  EXPECT_EQ(readFile(root() / "dir/new.txt"), Bytes{7});

  EXPECT_EQ(client_->status(proto::CMD_RENAME, proto::renameBlock("/dir", "/moved")), 0);
  EXPECT_TRUE(fs::exists(root() / "moved/new.txt"));

  EXPECT_EQ(client_->status(proto::CMD_RENAME, proto::renameBlock("/nothing", "/x")), 1);
  EXPECT_EQ(client_->status(proto::CMD_RENAME, proto::renameBlock("/moved", "/")), 1);
  EXPECT_EQ(client_->status(proto::CMD_RENAME, proto::renameBlock("/moved/new.txt", "/no/dir/x")), 1);
  EXPECT_TRUE(fs::exists(root() / "moved/new.txt"));
}

TEST_F(CommandTest, DeleteFileRemovesOnlyFiles) {
  writeFile(root() / "f", Bytes{1});
  fs::create_directories(root() / "dir");
  EXPECT_EQ(client_->status(proto::CMD_DELETE_FILE, "/f"), 0);
  EXPECT_FALSE(fs::exists(root() / "f"));
  EXPECT_EQ(client_->status(proto::CMD_DELETE_FILE, "/f"), 1);
  EXPECT_EQ(client_->status(proto::CMD_DELETE_FILE, "/dir"), 1);
  EXPECT_TRUE(fs::is_directory(root() / "dir"));
}

TEST_F(CommandTest, DeleteDirFlagChoosesEmptyOnlyOrWholeTree) {
  fs::create_directories(root() / "empty");
  writeFile(root() / "full/a/b/c.txt", Bytes{1});
  writeFile(root() / "full/top.txt", Bytes{2});
  fs::create_symlink(root() / "full/top.txt", root() / "full/a/link");

  EXPECT_EQ(client_->status(proto::CMD_DELETE_DIR, proto::deleteDirBlock("/empty", false)), 0);
  EXPECT_FALSE(fs::exists(root() / "empty"));
  EXPECT_EQ(client_->status(proto::CMD_DELETE_DIR, proto::deleteDirBlock("/full", false)), 1);
  EXPECT_TRUE(fs::exists(root() / "full/a/b/c.txt"));
  EXPECT_EQ(client_->status(proto::CMD_DELETE_DIR, proto::deleteDirBlock("/full", true)), 0);
  EXPECT_FALSE(fs::exists(root() / "full"));

  writeFile(root() / "plain", Bytes{1});
  EXPECT_EQ(client_->status(proto::CMD_DELETE_DIR, proto::deleteDirBlock("/plain", true)), 1);
  EXPECT_EQ(client_->status(proto::CMD_DELETE_DIR, proto::deleteDirBlock("/", true)), 1);
  EXPECT_TRUE(fs::exists(root() / "plain"));
}

TEST_F(CommandTest, MakeDirNeedsAParentAndAFreeName) {
  EXPECT_EQ(client_->status(proto::CMD_MAKE_DIR, "/new"), 0);
  EXPECT_TRUE(fs::is_directory(root() / "new"));
  EXPECT_EQ(client_->status(proto::CMD_MAKE_DIR, "/new/inner/"), 0);
  EXPECT_TRUE(fs::is_directory(root() / "new/inner"));
  EXPECT_EQ(client_->status(proto::CMD_MAKE_DIR, "/new"), 1);
  EXPECT_EQ(client_->status(proto::CMD_MAKE_DIR, "/absent/child"), 1);
  EXPECT_FALSE(fs::exists(root() / "absent"));
}

TEST_F(CommandTest, IsDirAndExistsAnswerOneOrZero) {
  writeFile(root() / "f", Bytes{1});
  fs::create_directories(root() / "d");
  EXPECT_EQ(client_->status(proto::CMD_IS_DIR, "/d"), 1);
  EXPECT_EQ(client_->status(proto::CMD_IS_DIR, "/"), 1);
  EXPECT_EQ(client_->status(proto::CMD_IS_DIR, "/f"), 0);
  EXPECT_EQ(client_->status(proto::CMD_IS_DIR, "/none"), 0);
  EXPECT_EQ(client_->status(proto::CMD_EXISTS, "/f"), 1);
  EXPECT_EQ(client_->status(proto::CMD_EXISTS, "/d"), 1);
  EXPECT_EQ(client_->status(proto::CMD_EXISTS, "/none"), 0);
}

TEST_F(CommandTest, SpaceSizeIsOneBareWordInKiB) {
  auto kib = client_->space("/");
  struct statvfs disk{};
  ASSERT_EQ(statvfs(root().c_str(), &disk), 0);
  ASSERT_TRUE(kib.has_value());
  std::int64_t expected = std::min<std::int64_t>(static_cast<std::int64_t>(disk.f_bavail) * disk.f_frsize / 1024, INT32_MAX);
  // Other tests write to the same filesystem meanwhile.
  EXPECT_NEAR(static_cast<double>(*kib), static_cast<double>(expected), 64.0 * 1024);
  EXPECT_EQ(client_->space("/missing"), -1);
  // Exactly four bytes were sent: the next reply starts right after them.
  ASSERT_TRUE(client_->request(proto::CMD_KEEPALIVE));
  EXPECT_EQ(client_->read(40), replyBytes(0));
}

TEST_F(CommandTest, ChownAnswersOneWhenApplied) {
  writeFile(root() / "f", Bytes{1});
  auto own = proto::chownBlock("/f", static_cast<std::int32_t>(getuid()), static_cast<std::int32_t>(getgid()));
  EXPECT_EQ(client_->status(proto::CMD_CHOWN, own), 1);
  EXPECT_EQ(client_->status(proto::CMD_CHOWN, proto::chownBlock("/f", -1, -1)), 1);
  EXPECT_EQ(client_->status(proto::CMD_CHOWN, proto::chownBlock("/missing", -1, -1)), 0);
  if (getuid() != 0) {
    EXPECT_EQ(client_->status(proto::CMD_CHOWN, proto::chownBlock("/f", 0, 0)), 0);
  } else {
    EXPECT_EQ(client_->status(proto::CMD_CHOWN, proto::chownBlock("/f", 4321, 4321)), 1);
    struct stat st{};
    ASSERT_EQ(::stat((root() / "f").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4321u);
  }
}

// As root the kernel lets CHOWN give any file, the root included, to anyone:
// korvexd serves it only when told to.
TEST(ChownAsRoot, RefusedUnlessTheServiceWasStartedWithAllowChown) {
  if (geteuid() != 0) GTEST_SKIP() << "korvexd refuses CHOWN only when it runs as root, and this test is not root";
  struct Case {
    bool allow;
    std::int32_t status;
    uid_t owner;
    const char* logged;
  };
  const Case cases[] = {
      {false, 0, 0, "running as root: CHOWN is refused"},
      {true, 1, 4321, "running as root: CHOWN is served"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.allow);
    ServiceProcess service(ServiceProcess::Options{.extraArgs = {}, .allowChown = c.allow});
    writeFile(service.root() / "f", Bytes{1});
    RawClient client(service.port());
    ASSERT_EQ(client.login(service.password()), service.deviceName());
    for (const char* path : {"/f", "/"}) {
      SCOPED_TRACE(path);
      EXPECT_EQ(client.status(proto::CMD_CHOWN, proto::chownBlock(path, 4321, 4321)), c.status);
      struct stat st{};
      ASSERT_EQ(::stat((service.root() / (path + 1)).c_str(), &st), 0);
      EXPECT_EQ(st.st_uid, c.owner);
    }
    EXPECT_TRUE(service.waitForLog(c.logged));
    const int status = service.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << service.log();
  }
}

TEST_F(CommandTest, PowerCommandsAnswerOneAndChangeNothing) {
  for (std::uint32_t code : {proto::CMD_SHUTDOWN, proto::CMD_REBOOT, proto::CMD_RESTART}) {
    ASSERT_TRUE(client_->request(code));
    EXPECT_EQ(client_->read(40), replyBytes(1)) << code;
  }
  EXPECT_EQ(client_->status(proto::CMD_KEEPALIVE), 0);
  EXPECT_FALSE(service_.waitExit(std::chrono::milliseconds(0)).has_value());
}

}  // namespace
}  // namespace korvex::test
