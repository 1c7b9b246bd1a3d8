// Path and device commands: each says which code, which block, which reply
// and how the outcome maps to its result.
#include "session/protocol.h"
#include "session/session.h"

namespace korvex {

using namespace protocol;

namespace {

bool pathFits(const std::string& path) { return path.size() <= MAX_PATH_LENGTH; }

// Commands whose success is reply status 0 and whose result is that boolean.
bool statusZeroCommand(Connection& connection, std::uint32_t code, const RequestBlock& block) {
  ReplyHeader reply;
  return Exchange(connection).request(code, &block, reply) == Stage::Replied && reply.status == 0;
}

// IsDirectory, HasDirectories and Exists: -1 for any failure, 1 yes, 0 no.
int yesNoCommand(Connection& connection, std::uint32_t code, const std::string& path) {
  const RequestBlock block = pathBlock(path);
  ReplyHeader reply;
  if (Exchange(connection).request(code, &block, reply) != Stage::Replied) return -1;
  return reply.status == 1 ? 1 : 0;
}

}  // namespace

bool ClientThread::rename(const std::string& source, const std::string& dest) {
  LockHelper lock(commandLock);
  if (!pathFits(source) || dest.size() > MAX_RENAME_DEST_LENGTH) return false;
  return statusZeroCommand(connection, CMD_RENAME, renameBlock(source, dest));
}

bool ClientThread::deleteFile(const std::string& path) {
  LockHelper lock(commandLock);
  if (!pathFits(path)) return false;
  return statusZeroCommand(connection, CMD_DELETE_FILE, pathBlock(path));
}

bool ClientThread::deleteDirectory(const std::string& path, bool recursive) {
  LockHelper lock(commandLock);
  if (!pathFits(path)) return false;
  return statusZeroCommand(connection, CMD_DELETE_DIR, deleteDirBlock(path, recursive));
}

bool ClientThread::makeDirectory(const std::string& path) {
  LockHelper lock(commandLock);
  if (!pathFits(path)) return false;
  return statusZeroCommand(connection, CMD_MAKE_DIR, pathBlock(path));
}

int ClientThread::fileSize(const std::string& path) {
  if (!pathFits(path)) return -1;
  LockHelper lock(commandLock);
  const RequestBlock block = pathBlock(path);
  ReplyHeader reply;
  switch (Exchange(connection).request(CMD_FILE_SIZE, &block, reply)) {
    case Stage::CodeFailed: return 0;  // callers rely on 0 here, not -1
    case Stage::Replied: return reply.status == 0 ? static_cast<int>(reply.value) : -1;
    default: return -1;
  }
}

int ClientThread::isDirectory(const std::string& path) {
  LockHelper lock(commandLock);
  if (!pathFits(path)) return -1;
  return yesNoCommand(connection, CMD_IS_DIR, path);
}

int ClientThread::exists(const std::string& path) {
  LockHelper lock(commandLock);
  if (!pathFits(path)) return -1;
  return yesNoCommand(connection, CMD_EXISTS, path);
}

int ClientThread::spaceSize(const std::string& path) {
  if (!pathFits(path)) return -1;
  LockHelper lock(commandLock);
  const RequestBlock block = pathBlock(path);
  std::uint8_t word[SPACE_REPLY_SIZE];
  switch (Exchange(connection).request(CMD_SPACE_SIZE, &block, word, SPACE_REPLY_SIZE)) {
    case Stage::CodeFailed: return 0;
    case Stage::Replied: return static_cast<int>(getWord(word));
    default: return -1;
  }
}

bool ClientThread::chown(const std::string& path, int owner, int group) {
  LockHelper lock(commandLock);
  if (!pathFits(path)) return false;
  const RequestBlock block = chownBlock(path, owner, group);
  ReplyHeader reply;
  return Exchange(connection).request(CMD_CHOWN, &block, reply) == Stage::Replied && reply.status == 1;
}

bool ClientThread::power(std::uint32_t code) {
  LockHelper lock(commandLock);
  ReplyHeader reply;
  return Exchange(connection).request(code, nullptr, reply) == Stage::Replied && reply.status == 1;
}

}  // namespace korvex
