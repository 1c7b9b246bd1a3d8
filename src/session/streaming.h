// Whole-file copies over a logged-in connection, in pieces of CHUNK_SIZE.
// The caller holds the exchange's lock for the whole copy.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "session/exchange.h"

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

}  // namespace korvex
