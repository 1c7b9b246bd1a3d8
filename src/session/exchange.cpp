#include "session/exchange.h"

namespace korvex {

using namespace protocol;

Stage Exchange::request(std::uint32_t code, const RequestBlock* block, std::uint8_t* reply,
                        int replySize) {
  const CodeBytes codeBytes = encodeCode(code);
  if (connection_.writeAll(codeBytes.data(), CODE_SIZE, -1, block != nullptr) != CODE_SIZE) {
    abandon();
    return Stage::CodeFailed;
  }
  if (block && connection_.writeAll(block->data(), block->size()) != block->size()) {
    abandon();
    return Stage::BlockFailed;
  }
  if (!read(reply, replySize)) return Stage::ReplyFailed;
  return Stage::Replied;
}

Stage Exchange::request(std::uint32_t code, const RequestBlock* block, ReplyHeader& header) {
  ReplyBytes reply{};
  const Stage stage = request(code, block, reply.data(), REPLY_HEADER_SIZE);
  if (stage == Stage::Replied) header = decodeReply(reply.data());
  return stage;
}

bool Exchange::read(void* buffer, int size) {
  int got = 0;
  if (connection_.readExactly(buffer, size, &got) == Connection::Complete && got == size) return true;
  abandon();
  return false;
}

bool Exchange::write(const void* buffer, int size) {
  if (connection_.writeAll(buffer, size) == size) return true;
  abandon();
  return false;
}

}  // namespace korvex
