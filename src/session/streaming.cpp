#include "session/streaming.h"

#include <algorithm>
#include <array>

#include "runtime/local_file.h"
#include "session/exchange.h"
#include "session/protocol.h"

namespace korvex {

using namespace protocol;

namespace {

// Sizes travel as unsigned 32-bit words.
constexpr std::int64_t kMaxWireSize = 0xFFFFFFFFLL;

void report(TransferProgress* record, std::int32_t progress) {
  if (record) record->progress.store(progress);
}

bool fail(TransferProgress* record) {
  report(record, TransferProgress::kFailed);
  return false;
}

}  // namespace

bool streamDownload(Connection& connection, PlainMutex& lock, const std::string& phonePath,
                    const std::string& localPath, TransferProgress* record) {
  if (!pathFits(phonePath) || !pathFits(localPath)) return fail(record);
  LockHelper hold(lock);
  Exchange exchange(connection);
  const RequestBlock block = pathBlock(phonePath);
  ReplyHeader reply;
  if (exchange.request(CMD_DOWNLOAD, &block, reply) != Stage::Replied || reply.status != 0) {
    return fail(record);
  }
  const std::uint32_t size = reply.value;
  if (record) record->total.store(static_cast<std::int32_t>(size));

  VFile file;
  if (!file.open(localPath, VFILE_WRITE)) {
    exchange.abandon();  // the file's bytes are on their way
    return fail(record);
  }
  report(record, 0);
  std::array<std::uint8_t, CHUNK_SIZE> buffer;
  std::uint32_t remaining = size;
  while (remaining > 0) {
    const int chunk = remaining > static_cast<std::uint32_t>(CHUNK_SIZE) ? CHUNK_SIZE : static_cast<int>(remaining);
    if (exchange.read(buffer.data(), chunk) != Connection::Complete) return fail(record);
    // A failed disk write would leave the rest of the file in the socket, to
    // be read as the next reply: drop the connection instead of draining it.
    if (file.write(buffer.data(), chunk) != chunk) {
      exchange.abandon();
      return fail(record);
    }
    remaining -= static_cast<std::uint32_t>(chunk);
    report(record, static_cast<std::int32_t>(size - remaining));
  }
  // Every byte has been read; a file that cannot be completed on disk fails
  // the copy but leaves the stream in step.
  if (!file.flush()) return fail(record);
  file.close();
  return true;
}

bool streamUpload(Connection& connection, PlainMutex& lock, const std::string& localPath,
                  const std::string& phonePath, TransferProgress* record) {
  VFile file;
  if (!file.open(localPath, VFILE_READ)) return fail(record);
  const std::int64_t size = file.size();
  if (record) record->total.store(static_cast<std::int32_t>(size));
  if (!pathFits(localPath) || !pathFits(phonePath) || size < 0 || size > kMaxWireSize) {
    return fail(record);
  }

  LockHelper hold(lock);
  Exchange exchange(connection);
  const RequestBlock block = uploadBlock(phonePath, static_cast<std::uint32_t>(size));
  ReplyHeader reply;
  if (exchange.request(CMD_UPLOAD, &block, reply) != Stage::Replied || reply.status != 0) {
    return fail(record);
  }
  // Only now is the copy under way: an empty file reported 0 of 0 before the
  // phone accepted it would read as done.
  report(record, 0);
  std::array<std::uint8_t, CHUNK_SIZE> buffer;
  std::int64_t sent = 0;
  while (sent < size) {
    const int want = static_cast<int>(std::min<std::int64_t>(CHUNK_SIZE, size - sent));
    const int got = file.readFully(buffer.data(), want);
    if (got != want) {
      // The file shrank or could not be read; the phone still waits for the
      // bytes announced.
      exchange.abandon();
      return fail(record);
    }
    if (!exchange.write(buffer.data(), got)) return fail(record);
    sent += got;
    report(record, static_cast<std::int32_t>(sent));
  }
  // A file that grew since it was sized is not sent whole: report it.
  std::uint8_t extra;
  if (file.readFully(&extra, 1) != 0) return fail(record);
  return true;
}

}  // namespace korvex
