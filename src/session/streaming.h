// Whole-file copies over a logged-in connection, in pieces of CHUNK_SIZE.
// The caller holds the exchange's lock for the whole copy.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "runtime/local_file.h"
#include "runtime/page_buffer.h"
#include "runtime/replacing_file.h"
#include "session/exchange.h"
#include "protocol.h"

namespace korvex {

// What a background copy reports; read by the host without a lock.
struct TransferProgress {
  static constexpr std::int32_t kNotStarted = -1;
  static constexpr std::int32_t kFailed = -2;

  std::atomic<std::int32_t> total{0};
  std::atomic<std::int32_t> progress{kNotStarted};
};

// Phone to host. Any failure after the request went out leaves the
// connection closed unless the phone refused it, since the stream may be out
// of step; an unwritable local file fails the copy. The local file changes
// only when the whole file has arrived: until then, and after any failure,
// it is as it was.
bool streamDownload(Exchange& exchange, const std::string& phonePath, const std::string& localPath,
                    TransferProgress* record);

// Host to phone. Sends exactly the size announced, or fails; succeeds only
// when the phone then answers that size for the file, one more round trip.
bool streamUpload(Exchange& exchange, const std::string& localPath, const std::string& phonePath,
                  TransferProgress* record);

// The pieces of a copy, for copies that run several back to back.

// The buffer a copy moves its bytes through; null when memory ran out. Taken
// before anything is sent, so a failed allocation leaves the stream
// untouched.
PageBuffer<std::uint8_t> streamBlock();

struct UploadSource {
  VFile file;
  std::int64_t size = -1;
};
// Opens and sizes the local file; false when it cannot be read, or either
// path or the size does not fit a request.
bool openUploadSource(const std::string& localPath, const std::string& phonePath, UploadSource& source);

enum class BodySent {
  Whole,   // every byte announced went out
  Grew,    // so did they, but the file grew meanwhile: the copy failed
  Broken,  // the connection is closed
};
// The announced bytes, after the phone accepted the upload request. The
// last block is marked to share its segment with a request that follows.
BodySent sendUploadBody(Exchange& exchange, UploadSource& source, std::uint8_t* block, TransferProgress* record);

// Whether the size the phone answered after an upload (null: no answer)
// says the file landed whole; logs why not.
bool uploadLanded(const protocol::ReplyHeader* reply, const std::string& phonePath, std::uint32_t size);

enum class BodyReceived {
  Whole,      // every announced byte is in the file, not yet committed
  Unwritten,  // every byte was read, but the file refused them: the copy failed, the stream is in step
  Broken,     // the connection is closed
};
// The `size` bytes announced by a download's reply, into `file`. When the
// file refuses a write, the rest is read and dropped if no more than
// `drainLimit` bytes remain, else the connection is closed.
BodyReceived receiveDownloadBody(Exchange& exchange, std::uint32_t size, ReplacingFile& file, std::uint8_t* block,
                                 TransferProgress* record, std::uint32_t drainLimit);

}  // namespace korvex
