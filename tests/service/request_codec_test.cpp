// The request decoders korvexd reads blocks with, against the builders the
// library sends them with and against blocks no builder would write.
#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>

#include "bytes.h"
#include "protocol.h"

namespace {

namespace proto = korvex::protocol;
using korvex::test::Bytes;
using korvex::test::concat;
using korvex::test::pathField;
using korvex::test::word;
using korvex::test::zeros;

const std::string kLongestPath(proto::MAX_PATH_LENGTH, 'p');
const std::string kLongestDest(proto::MAX_RENAME_DEST_LENGTH, 'd');

TEST(RequestCodec, RenameRoundTrips) {
  const struct {
    std::string source, dest;
  } cases[] = {{"/a", "/b"}, {"", kLongestDest}, {kLongestPath, ""}, {"/x y/\xff", "/z"}};
  for (const auto& c : cases) {
    // The decoded fields view the block, so it must outlive them.
    const auto block = proto::renameBlock(c.source, c.dest);
    const proto::RenameRequest got = proto::decodeRename(block.data());
    EXPECT_EQ(c.source, got.source);
    EXPECT_EQ(c.dest, got.dest);
  }
}

TEST(RequestCodec, PathAndWordRequestsRoundTrip) {
  const struct {
    std::string path;
    std::uint32_t size;
    bool recursive;
  } cases[] = {{"/d", 0, false}, {"/d", 1, true}, {kLongestPath, 0xFFFFFFFEu, true}, {"", 0xFFFFFFFFu, false}};
  for (const auto& c : cases) {
    const auto uploadBlock = proto::uploadBlock(c.path, c.size);
    const proto::UploadRequest upload = proto::decodeUpload(uploadBlock.data());
    EXPECT_EQ(c.path, upload.path);
    EXPECT_EQ(c.size, upload.size);
    const auto deleteBlock = proto::deleteDirBlock(c.path, c.recursive);
    const proto::DeleteDirRequest remove = proto::decodeDeleteDir(deleteBlock.data());
    EXPECT_EQ(c.path, remove.path);
    EXPECT_EQ(c.recursive, remove.recursive);
    const auto pathBlock = proto::pathBlock(c.path);
    EXPECT_EQ(c.path, proto::decodePath(pathBlock.data()));
  }
}

TEST(RequestCodec, ChownIdsKeepTheirSign) {
  const struct {
    std::int32_t owner, group;
  } cases[] = {{-1, 501}, {0, -1}, {INT32_MIN, INT32_MAX}, {1000, 1000}};
  for (const auto& c : cases) {
    const auto block = proto::chownBlock("/f", c.owner, c.group);
    const proto::ChownRequest got = proto::decodeChown(block.data());
    EXPECT_EQ("/f", got.path);
    EXPECT_EQ(c.owner, got.owner);
    EXPECT_EQ(c.group, got.group);
  }
}

// What a client may write that no builder does: bytes after a field's NUL,
// and any non-zero word as the delete flag.
TEST(RequestCodec, ForeignBlocksDecodeAsTheServiceReadsThem) {
  Bytes field = pathField("/a");
  field[10] = 'z';
  EXPECT_EQ("/a", proto::decodePath(field.data()));

  const Bytes rename = concat({pathField("/s"), field});
  EXPECT_EQ("/a", proto::decodeRename(rename.data()).dest);

  for (std::uint32_t flag : {2u, 0x100u, 0x80000000u}) {
    EXPECT_TRUE(proto::decodeDeleteDir(concat({pathField("/d"), word(flag)}).data()).recursive) << flag;
  }
}

TEST(RequestCodec, EveryPathFieldMustHoldItsNul) {
  const Bytes open = Bytes(proto::PATH_FIELD_SIZE, 'x');
  const struct {
    const char* what;
    std::uint32_t code;
    Bytes block;
    bool terminated;
  } cases[] = {
      {"path", proto::CMD_EXISTS, pathField("/a"), true},
      {"path without NUL", proto::CMD_EXISTS, open, false},
      {"NUL in the last byte", proto::CMD_EXISTS, concat({Bytes(proto::PATH_FIELD_SIZE - 1, 'x'), zeros(1)}), true},
      {"rename", proto::CMD_RENAME, concat({pathField("/a"), pathField("/b")}), true},
      {"rename source without NUL", proto::CMD_RENAME, concat({open, pathField("/b")}), false},
      {"rename dest without NUL", proto::CMD_RENAME, concat({pathField("/a"), open}), false},
      {"upload size word is not text", proto::CMD_UPLOAD, concat({pathField("/a"), word(0x41414141u)}), true},
      {"chown without NUL", proto::CMD_CHOWN, concat({open, word(1), word(2)}), false},
      {"no block", proto::CMD_KEEPALIVE, Bytes(proto::MAX_BLOCK_SIZE, 'x'), true},
  };
  for (const auto& c : cases) {
    ASSERT_GE(c.block.size(), static_cast<std::size_t>(proto::requestBlockSize(c.code))) << c.what;
    EXPECT_EQ(c.terminated, proto::requestFieldsTerminated(c.code, c.block.data())) << c.what;
  }
}

TEST(RequestCodec, PasswordBlockRoundTripsOrHasNoPassword) {
  const std::string longest(proto::MAX_PASSWORD_LENGTH, 'w');
  for (const std::string& password : {std::string(), std::string("secret"), longest}) {
    EXPECT_EQ(std::optional<std::string_view>(password), proto::decodePassword(proto::encodePassword(password)));
  }
  proto::PasswordBlock full{};
  full.fill('w');
  EXPECT_EQ(std::nullopt, proto::decodePassword(full));
}

}  // namespace
