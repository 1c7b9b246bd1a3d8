#include "session/exchange.h"

namespace korvex {

using namespace protocol;

Stage Exchange::request(std::uint32_t code, const RequestBlock* block, std::uint8_t* reply,
                        int replySize) {
  const CodeBytes codeBytes = encodeCode(code);
  // The code and its block leave together: sent apart, the block would wait
  // for the peer's delayed acknowledgement of the code.
  const sys::ConstBuffer parts[] = {{codeBytes.data(), CODE_SIZE},
                                    {block ? block->data() : nullptr, block ? static_cast<std::size_t>(block->size()) : 0}};
  const int wanted = CODE_SIZE + (block ? block->size() : 0);
  const int sent = connection_.writeAll(std::span(parts, block ? 2 : 1));
  if (sent != wanted) {
    // Nothing went out: the stream is still in step and the connection stays.
    // Once any byte has gone, the phone may answer a request it got only
    // in part, so the connection must go.
    if (sent <= 0) return Stage::CodeFailed;
    abandon();
    return sent < CODE_SIZE ? Stage::CodeFailed : Stage::BlockFailed;
  }
  if (read(reply, replySize) != Connection::Complete) return Stage::ReplyFailed;
  return Stage::Replied;
}

Stage Exchange::request(std::uint32_t code, const RequestBlock* block, ReplyHeader& header) {
  ReplyBytes reply{};
  const Stage stage = request(code, block, reply.data(), REPLY_HEADER_SIZE);
  if (stage == Stage::Replied) header = decodeReply(reply.data());
  return stage;
}

Connection::ReadResult Exchange::read(void* buffer, int size) {
  int got = 0;
  const Connection::ReadResult result = connection_.readExactly(buffer, size, &got);
  if (result != Connection::Complete) abandon();
  return result;
}

Connection::ReadResult Exchange::readSome(void* buffer, int size, int& got) {
  const Connection::ReadResult result = connection_.readSome(buffer, size, &got);
  if (result != Connection::Complete) abandon();
  return result;
}

bool Exchange::write(const void* buffer, int size, bool moreFollows) {
  if (connection_.writeAll(buffer, size, -1, moreFollows) == size) return true;
  abandon();
  return false;
}

int Exchange::writeNow(const void* buffer, int size) {
  const int sent = connection_.writeNow(buffer, size);
  if (sent < 0) abandon();
  return sent;
}

}  // namespace korvex
