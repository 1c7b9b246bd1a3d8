// Paths that try to leave the root: through the service, and against the
// resolver directly with both resolution schemes.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "root.h"
#include "service_fixture.h"

namespace korvex::test {
namespace {

namespace proto = korvex::protocol;

// A directory outside the served root, with a file that must survive.
class Outside {
 public:
  Outside() {
    std::string pattern = (fs::temp_directory_path() / "korvexd-outside.XXXXXX").string();
    dir_ = mkdtemp(pattern.data()) ? fs::path(pattern) : fs::path();
    writeFile(dir_ / "secret", Bytes{'s'});
  }
  ~Outside() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  const fs::path& dir() const { return dir_; }
  // Everything below dir(), with file contents, to prove nothing changed.
  std::vector<std::string> snapshot() const {
    std::vector<std::string> items;
    for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
      Bytes content = entry.is_regular_file() ? readFile(entry.path()) : Bytes{};
      items.push_back(entry.path().string() + "=" + std::string(content.begin(), content.end()));
    }
    std::sort(items.begin(), items.end());
    return items;
  }

 private:
  fs::path dir_;
};

class ConfinementTest : public ServiceTest {
 protected:
  void SetUp() override {
    client_ = loggedIn();
    fs::create_symlink(outside_.dir(), root() / "out");
    fs::create_symlink(outside_.dir() / "secret", root() / "outfile");
    // Relative and escaping: root/up -> the outside directory.
    fs::create_symlink(fs::path("../..") / outside_.dir().filename(), root() / "up");
    before_ = outside_.snapshot();
  }
  void TearDown() override {
    EXPECT_EQ(outside_.snapshot(), before_);
    EXPECT_EQ(client_->status(proto::CMD_KEEPALIVE), 0) << "the connection must stay in step";
    ServiceTest::TearDown();
  }

  Outside outside_;
  std::vector<std::string> before_;
  std::unique_ptr<RawClient> client_;
};

TEST_F(ConfinementTest, DotDotIsRefusedEverywhere) {
  writeFile(root() / "a/x", Bytes{1});
  // Would reach the outside file if ".." were followed: root/../.. is its parent.
  std::string parent = "/../../" + outside_.dir().filename().string() + "/secret";
  for (std::string path : {std::string(".."), std::string("/.."), std::string("../x"), std::string("/../x"),
                           std::string("a/../x"), parent}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(client_->status(proto::CMD_EXISTS, path), 0);
    EXPECT_EQ(client_->status(proto::CMD_DELETE_FILE, path), 1);
    EXPECT_EQ(client_->status(proto::CMD_DELETE_DIR, proto::deleteDirBlock(path, true)), 1);
    EXPECT_EQ(client_->status(proto::CMD_MAKE_DIR, path + "/d"), 1);
    EXPECT_EQ(client_->download(path), std::nullopt);
    EXPECT_EQ(client_->upload(path + "/new", Bytes{1}), 1);
    EXPECT_EQ(client_->space(path), -1);
  }
  EXPECT_TRUE(fs::exists(root() / "a/x"));
  EXPECT_TRUE(service_.waitForLog("path leaves the root"));
}

TEST_F(ConfinementTest, AbsolutePathsNameThingsInsideTheRoot) {
  std::string real = (outside_.dir() / "secret").string();  // absolute path on this machine
  EXPECT_EQ(client_->status(proto::CMD_EXISTS, real), 0);
  EXPECT_EQ(client_->status(proto::CMD_DELETE_FILE, real), 1);
  EXPECT_EQ(client_->download(real), std::nullopt);
  EXPECT_EQ(client_->status(proto::CMD_RENAME, proto::renameBlock(real, "/stolen")), 1);
  EXPECT_FALSE(fs::exists(root() / "stolen"));
}

TEST_F(ConfinementTest, SymlinksLeadingOutAreRefused) {
  for (std::string link : {"/out", "/up"}) {
    SCOPED_TRACE(link);
    EXPECT_EQ(client_->list(proto::CMD_LIST_FILES, link), std::nullopt);
    EXPECT_EQ(client_->status(proto::CMD_IS_DIR, link), 0);
    EXPECT_EQ(client_->download(link + "/secret"), std::nullopt);
    EXPECT_EQ(client_->status(proto::CMD_FILE_SIZE, link + "/secret"), 1);
    EXPECT_EQ(client_->status(proto::CMD_DELETE_FILE, link + "/secret"), 1);
    EXPECT_EQ(client_->status(proto::CMD_RENAME, proto::renameBlock(link + "/secret", "/stolen")), 1);
    EXPECT_EQ(client_->status(proto::CMD_RENAME, proto::renameBlock("/outfile", link + "/planted")), 1);
    EXPECT_EQ(client_->upload(link + "/planted", Bytes{1, 2, 3}), 1);
    EXPECT_EQ(client_->status(proto::CMD_MAKE_DIR, link + "/d"), 1);
    EXPECT_EQ(client_->status(proto::CMD_CHOWN, proto::chownBlock(link + "/secret", -1, -1)), 0);
  }
  EXPECT_EQ(client_->download("/outfile"), std::nullopt);
  EXPECT_EQ(client_->status(proto::CMD_EXISTS, "/outfile"), 0);
  EXPECT_EQ(client_->space("/out"), -1);
  EXPECT_FALSE(fs::exists(root() / "stolen"));
  EXPECT_TRUE(service_.waitForLog("refused DOWNLOAD \"/outfile\""));
}

TEST_F(ConfinementTest, TreeDeletionUnlinksSymlinksWithoutEnteringThem) {
  writeFile(root() / "tree/file", Bytes{1});
  fs::create_symlink(outside_.dir(), root() / "tree/escape");
  EXPECT_EQ(client_->status(proto::CMD_DELETE_DIR, proto::deleteDirBlock("/out", true)), 1);
  EXPECT_EQ(client_->status(proto::CMD_DELETE_DIR, proto::deleteDirBlock("/tree", true)), 0);
  EXPECT_FALSE(fs::exists(root() / "tree"));
}

TEST_F(ConfinementTest, UploadOverALinkReplacesTheLinkItself) {
  ASSERT_EQ(client_->upload("/outfile", Bytes{'n'}), 0);
  ASSERT_EQ(client_->status(proto::CMD_KEEPALIVE), 0);
  EXPECT_FALSE(fs::is_symlink(root() / "outfile"));
  EXPECT_EQ(readFile(root() / "outfile"), Bytes{'n'});
}

// The resolver on its own, with each scheme: links inside the root work with
// openat2 and are refused by the component walk; nothing leaves the root.
class ResolverTest : public ::testing::TestWithParam<korvexd::Resolver> {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "korvexd-root.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    base_ = pattern;
    writeFile(base_ / "root/dir/file", Bytes{1});
    writeFile(base_ / "secret", Bytes{2});
    fs::create_symlink("dir/file", base_ / "root/inner");
    fs::create_symlink("../secret", base_ / "root/outer");
    fs::create_symlink(base_ / "secret", base_ / "root/absolute");
    int error = 0;
    root_ = korvexd::Root::open((base_ / "root").string(), GetParam(), error);
    if (!root_ && error == ENOSYS) GTEST_SKIP() << "this kernel has no openat2";
    ASSERT_TRUE(root_) << error;
  }
  void TearDown() override { fs::remove_all(base_); }

  int openError(std::string_view path, int flags = O_RDONLY) {
    int error = 0;
    root_->open(path, flags, error);
    return error;
  }

  fs::path base_;
  std::optional<korvexd::Root> root_;
};

TEST_P(ResolverTest, PlainPathsResolveInsideTheRoot) {
  EXPECT_EQ(openError("dir/file"), 0);
  EXPECT_EQ(openError("/dir//./file"), 0);
  EXPECT_EQ(openError("/", O_RDONLY | O_DIRECTORY), 0);
  EXPECT_EQ(openError(""), 0);
  EXPECT_EQ(openError("/dir/missing"), ENOENT);
  EXPECT_EQ(openError("/dir/file/x"), ENOTDIR);
}

TEST_P(ResolverTest, NothingResolvesOutside) {
  EXPECT_EQ(openError("../secret"), korvexd::kEscapeError);
  EXPECT_EQ(openError("dir/../../secret"), korvexd::kEscapeError);
  EXPECT_NE(openError("outer"), 0);
  EXPECT_NE(openError("absolute"), 0);
  EXPECT_NE(openError("absolute", O_PATH), 0);
  std::string name;
  int error = 0;
  EXPECT_FALSE(root_->openParent("outer/x", name, error).valid());
  EXPECT_NE(error, 0);
}

TEST_P(ResolverTest, LinksInsideFollowOnlyWithOpenat2) {
  int error = openError("inner");
  if (root_->resolver() == korvexd::Resolver::Openat2) {
    EXPECT_EQ(error, 0);
  } else {
    EXPECT_EQ(error, ELOOP);
  }
}

TEST_P(ResolverTest, ParentSplitsOffTheLastComponent) {
  std::string name;
  int error = 0;
  korvexd::Fd parent = root_->openParent("/dir/file", name, error);
  ASSERT_TRUE(parent.valid());
  EXPECT_EQ(name, "file");
  EXPECT_EQ(faccessat(parent.get(), name.c_str(), F_OK, AT_SYMLINK_NOFOLLOW), 0);
  EXPECT_TRUE(root_->openParent("/", name, error).valid());
  EXPECT_EQ(name, "");
}

INSTANTIATE_TEST_SUITE_P(Schemes, ResolverTest,
                         ::testing::Values(korvexd::Resolver::Openat2, korvexd::Resolver::Walk),
                         [](const auto& info) {
                           return info.param == korvexd::Resolver::Openat2 ? std::string("Openat2")
                                                                           : std::string("Walk");
                         });

}  // namespace
}  // namespace korvex::test
