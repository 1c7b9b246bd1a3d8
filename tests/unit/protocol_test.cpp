#include <gtest/gtest.h>

#include "protocol.h"

namespace korvex::protocol {
namespace {

TEST(Protocol, FileSizeExampleBytes) {
  const CodeBytes code = encodeCode(CMD_FILE_SIZE);
  EXPECT_EQ((CodeBytes{5, 0, 0, 0}), code);
  const RequestBlock block = pathBlock("/tmp/a");
  ASSERT_EQ(1024, block.size());
  EXPECT_EQ(0, std::memcmp(block.data(), "/tmp/a\0", 7));
  for (int i = 6; i < 1024; ++i) ASSERT_EQ(0, block.data()[i]) << i;
  const ReplyBytes answer = encodeReply(0, 300);
  EXPECT_EQ(0x2C, answer[4]);
  EXPECT_EQ(0x01, answer[5]);
  const ReplyHeader header = decodeReply(answer.data());
  EXPECT_EQ(0, header.status);
  EXPECT_EQ(300u, header.value);
}

TEST(Protocol, BlockLayouts) {
  const RequestBlock rename = renameBlock("a", std::string(254, 'd'));
  EXPECT_EQ(2048, rename.size());
  EXPECT_EQ('d', rename.data()[1024]);
  EXPECT_EQ(0, rename.data()[1024 + 254]);

  EXPECT_EQ(1u, getWord(deleteDirBlock("x", true).data() + 1024));
  EXPECT_EQ(0u, getWord(deleteDirBlock("x", false).data() + 1024));
  EXPECT_EQ(1028, deleteDirBlock("x", false).size());

  const RequestBlock upload = uploadBlock("p", 0xFFFFFFFEu);
  EXPECT_EQ(1028, upload.size());
  EXPECT_EQ((std::array<std::uint8_t, 4>{0xFE, 0xFF, 0xFF, 0xFF}),
            (std::array<std::uint8_t, 4>{upload.data()[1024], upload.data()[1025], upload.data()[1026],
                                         upload.data()[1027]}));

  const RequestBlock chown = chownBlock("p", -1, 501);
  EXPECT_EQ(1032, chown.size());
  EXPECT_EQ(0xFFFFFFFFu, getWord(chown.data() + 1024));
  EXPECT_EQ(501u, getWord(chown.data() + 1028));
}

TEST(Protocol, RequestBlockSizeByCode) {
  EXPECT_EQ(0, requestBlockSize(CMD_KEEPALIVE));
  EXPECT_EQ(2048, requestBlockSize(CMD_RENAME));
  EXPECT_EQ(1028, requestBlockSize(CMD_DELETE_DIR));
  EXPECT_EQ(1024, requestBlockSize(CMD_LIST_DIRS));
  EXPECT_EQ(1028, requestBlockSize(CMD_UPLOAD));
  EXPECT_EQ(1032, requestBlockSize(CMD_CHOWN));
  EXPECT_EQ(0, requestBlockSize(CMD_RESTART));
}

TEST(Protocol, FieldTextStopsAtNulOrKeepsRoomForOne) {
  std::array<std::uint8_t, 8> field{'a', 'b', 0, 'c', 0, 0, 0, 0};
  EXPECT_EQ("ab", fieldText(field.data(), field.size()));
  field.fill('x');
  EXPECT_EQ(std::string(7, 'x'), fieldText(field.data(), field.size()));
  const NameRecord full = [] {
    NameRecord r;
    r.fill('n');
    return r;
  }();
  EXPECT_EQ(255u, fieldText(full.data(), full.size()).size());
}

TEST(Protocol, PasswordBlockIsPaddedWithZeros) {
  const PasswordBlock block = encodePassword("abc");
  EXPECT_EQ('c', block[2]);
  for (std::size_t i = 3; i < block.size(); ++i) ASSERT_EQ(0, block[i]);
}

}  // namespace
}  // namespace korvex::protocol
