#include "session/commands.h"

#include "protocol.h"

namespace korvex::commands {

using namespace protocol;

namespace {

// Commands whose success is reply status 0 and whose result is that boolean.
bool statusZero(Exchange& exchange, std::uint32_t code, const RequestBlock& block) {
  ReplyHeader reply;
  return exchange.request(code, &block, reply) == Stage::Replied && reply.status == 0;
}

int yesNo(Exchange& exchange, std::uint32_t code, std::string_view path) {
  const RequestBlock block = pathBlock(path);
  ReplyHeader reply;
  if (exchange.request(code, &block, reply) != Stage::Replied) return -1;
  return reply.status == 1 ? 1 : 0;
}

}  // namespace

bool rename(Exchange& exchange, std::string_view source, std::string_view dest) {
  return statusZero(exchange, CMD_RENAME, renameBlock(source, dest));
}

bool deleteFile(Exchange& exchange, std::string_view path) {
  return statusZero(exchange, CMD_DELETE_FILE, pathBlock(path));
}

bool deleteDirectory(Exchange& exchange, std::string_view path, bool recursive) {
  return statusZero(exchange, CMD_DELETE_DIR, deleteDirBlock(path, recursive));
}

bool makeDirectory(Exchange& exchange, std::string_view path) {
  return statusZero(exchange, CMD_MAKE_DIR, pathBlock(path));
}

int fileSize(Exchange& exchange, std::string_view path) {
  const RequestBlock block = pathBlock(path);
  ReplyHeader reply;
  switch (exchange.request(CMD_FILE_SIZE, &block, reply)) {
    case Stage::CodeFailed: return 0;  // callers rely on 0 here, not -1
    case Stage::Replied: return reply.status == 0 ? static_cast<int>(reply.value) : -1;
    default: return -1;
  }
}

int isDirectory(Exchange& exchange, std::string_view path) { return yesNo(exchange, CMD_IS_DIR, path); }

int exists(Exchange& exchange, std::string_view path) { return yesNo(exchange, CMD_EXISTS, path); }

int spaceSize(Exchange& exchange, std::string_view path) {
  const RequestBlock block = pathBlock(path);
  std::uint8_t word[SPACE_REPLY_SIZE];
  switch (exchange.request(CMD_SPACE_SIZE, &block, word, SPACE_REPLY_SIZE)) {
    case Stage::CodeFailed: return 0;
    case Stage::Replied: return static_cast<int>(getWord(word));
    default: return -1;
  }
}

bool chown(Exchange& exchange, std::string_view path, int owner, int group) {
  const RequestBlock block = chownBlock(path, owner, group);
  ReplyHeader reply;
  return exchange.request(CMD_CHOWN, &block, reply) == Stage::Replied && reply.status == 1;
}

bool power(Exchange& exchange, std::uint32_t code) {
  ReplyHeader reply;
  return exchange.request(code, nullptr, reply) == Stage::Replied && reply.status == 1;
}

bool keepAlive(Exchange& exchange) {
  ReplyHeader ignored;
  return exchange.request(CMD_KEEPALIVE, nullptr, ignored) == Stage::Replied;
}

}  // namespace korvex::commands
