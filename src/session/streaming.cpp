#include "session/streaming.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "runtime/local_file.h"
#include "runtime/log.h"
#include "runtime/replacing_file.h"
#include "session/exchange.h"
#include "protocol.h"

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

// One system call moves up to this much. A download still hands the file
// and the progress CHUNK_SIZE pieces, in turn.
constexpr int kStreamBlock = 256 * 1024;

bool fileGrew(VFile& file) {
  std::uint8_t extra;
  return file.readFully(&extra, 1) != 0;
}

// The protocol has no closing reply for an upload, and the phone may fail to
// store what it received (its disk full, say; it then drops the connection).
// Only the size it answers afterwards, on the same connection and so after
// the upload, says the file has landed.
bool confirmUpload(Exchange& exchange, const std::string& phonePath, std::uint32_t size) {
  const RequestBlock block = pathBlock(phonePath);
  ReplyHeader reply;
  const bool answered = exchange.request(CMD_FILE_SIZE, &block, reply) == Stage::Replied;
  return uploadLanded(answered ? &reply : nullptr, phonePath, size);
}

}  // namespace

bool uploadLanded(const ReplyHeader* reply, const std::string& phonePath, std::uint32_t size) {
  if (reply && reply->status == 0 && reply->value == size) return true;
  const std::string held = !reply               ? std::string("no answer from the phone")
                           : reply->status != 0 ? std::string("the phone has no such file")
                                                : "the phone holds " + std::to_string(reply->value);
  logPrint(ERR, "Upload %s not confirmed: %u bytes sent, %s", phonePath.c_str(), size, held.c_str());
  return false;
}

PageBuffer<std::uint8_t> streamBlock() { return pageBuffer<std::uint8_t>(kStreamBlock); }

bool openUploadSource(const std::string& localPath, const std::string& phonePath, UploadSource& source) {
  if (!source.file.open(localPath, VFILE_READ | VFILE_DIRECT)) return false;
  source.size = source.file.size();
  return pathFits(localPath) && pathFits(phonePath) && source.size >= 0 && source.size <= kMaxWireSize;
}

BodySent sendUploadBody(Exchange& exchange, UploadSource& source, std::uint8_t* block, TransferProgress* record) {
  const std::int64_t size = source.size;
  if (size > 0) report(record, 0);
  std::int64_t sent = 0;
  bool grew = false;
  while (sent < size) {
    const int want = static_cast<int>(std::min<std::int64_t>(kStreamBlock, size - sent));
    if (source.file.readFully(block, want) != want) {
      // The file shrank or could not be read; the phone still waits for the
      // bytes announced.
      exchange.abandon();
      return BodySent::Broken;
    }
    const bool last = sent + want == size;
    if (last) grew = fileGrew(source.file);
    // Blocks of one upload share segments, and so does the last with the
    // confirming request that follows it.
    if (!exchange.write(block, want, !last || !grew)) return BodySent::Broken;
    sent += want;
    if (sent < size) report(record, static_cast<std::int32_t>(sent));
  }
  // A file that grew since it was sized was not sent whole.
  if (size == 0) grew = fileGrew(source.file);
  return grew ? BodySent::Grew : BodySent::Whole;
}

BodyReceived receiveDownloadBody(Exchange& exchange, std::uint32_t size, ReplacingFile& file, std::uint8_t* block,
                                 TransferProgress* record, std::uint32_t drainLimit) {
  std::uint32_t written = 0;
  int held = 0;  // received bytes at the start of `block` that are not on disk yet
  while (written < size) {
    const std::uint32_t unreceived = size - written - static_cast<std::uint32_t>(held);
    const int room = static_cast<int>(std::min<std::uint32_t>(kStreamBlock - held, unreceived));
    int got = 0;
    if (exchange.readSome(block + held, room, got) != Connection::Complete) return BodyReceived::Broken;
    held += got;
    // Whole pieces (and the file's short last one) go to disk in turn, in
    // one write; a partial piece waits for the rest of it.
    const bool last = static_cast<std::uint32_t>(held) == size - written;
    const int run = last ? held : held - held % CHUNK_SIZE;
    if (run > 0 && file.write(block, run) != run) {
      // The rest of the file must not be read as the next reply: it is read
      // and dropped when no more than `drainLimit` bytes remain, and the
      // stream stays in step; further off, the connection is dropped
      // instead of drained.
      std::uint32_t rest = size - written - static_cast<std::uint32_t>(held);
      if (rest > drainLimit) {
        exchange.abandon();
        return BodyReceived::Broken;
      }
      while (rest > 0) {
        const int want = static_cast<int>(std::min<std::uint32_t>(rest, kStreamBlock));
        if (exchange.readSome(block, want, got) != Connection::Complete) return BodyReceived::Broken;
        rest -= static_cast<std::uint32_t>(got);
      }
      return BodyReceived::Unwritten;
    }
    int at = 0;
    while (at < run) {
      const int piece = std::min(static_cast<int>(CHUNK_SIZE), run - at);
      at += piece;
      written += static_cast<std::uint32_t>(piece);
      // The total means done: it is reported once the file is complete.
      if (written < size) report(record, static_cast<std::int32_t>(written));
    }
    std::memmove(block, block + at, static_cast<std::size_t>(held - at));
    held -= at;
  }
  return BodyReceived::Whole;
}

bool streamDownload(Exchange& exchange, const std::string& phonePath, const std::string& localPath,
                    TransferProgress* record) {
  if (!pathFits(phonePath) || !pathFits(localPath)) return fail(record);
  const auto data = streamBlock();
  if (!data) return fail(record);
  const RequestBlock block = pathBlock(phonePath);
  ReplyHeader reply;
  if (exchange.request(CMD_DOWNLOAD, &block, reply) != Stage::Replied || reply.status != 0) {
    return fail(record);
  }
  const std::uint32_t size = reply.value;
  if (record) record->total.store(static_cast<std::int32_t>(size));

  // The destination changes only once the whole file is on disk.
  ReplacingFile file;
  if (!file.open(localPath)) {
    exchange.abandon();  // the file's bytes are on their way
    return fail(record);
  }
  report(record, 0);
  // Within a block of the end, the rest of a file the disk refuses is read
  // and dropped and the session stays usable (as when a small file fails at
  // the final flush); further off, a lone copy drops the connection rather
  // than wait for bytes nobody keeps.
  if (receiveDownloadBody(exchange, size, file, data.get(), record, kStreamBlock) != BodyReceived::Whole) {
    return fail(record);
  }
  // Every byte has been read; a file that cannot be completed on disk fails
  // the copy but leaves the stream in step.
  if (!file.commit()) return fail(record);
  if (size > 0) report(record, static_cast<std::int32_t>(size));
  return true;
}

bool streamUpload(Exchange& exchange, const std::string& localPath, const std::string& phonePath,
                  TransferProgress* record) {
  UploadSource source;
  const bool opened = openUploadSource(localPath, phonePath, source);
  if (record && source.file.isOpen()) record->total.store(static_cast<std::int32_t>(source.size));
  if (!opened) return fail(record);
  const auto data = streamBlock();
  if (!data) return fail(record);

  const RequestBlock block = uploadBlock(phonePath, static_cast<std::uint32_t>(source.size));
  ReplyHeader reply;
  if (exchange.request(CMD_UPLOAD, &block, reply) != Stage::Replied || reply.status != 0) {
    return fail(record);
  }
  // Only now is the copy under way. Done is reported once the phone has
  // confirmed the file: an empty one stays "not started" until then.
  if (sendUploadBody(exchange, source, data.get(), record) != BodySent::Whole) return fail(record);
  const auto size = static_cast<std::uint32_t>(source.size);
  if (!confirmUpload(exchange, phonePath, size)) return fail(record);
  report(record, static_cast<std::int32_t>(size));
  return true;
}

}  // namespace korvex
