// One command exchange on a logged-in connection: code, request block,
// reply, then an optional data phase (and the log-in, which is all data
// phase). The caller holds the exchange's lock.
#pragma once

#include <cstdint>

#include "net/connection.h"
#include "protocol.h"

namespace korvex {

// How far the request part of an exchange got.
enum class Stage { CodeFailed, BlockFailed, ReplyFailed, Replied };

class Exchange {
 public:
  explicit Exchange(Connection& connection) : connection_(connection) {}

  // Writes `code` and `block` (none when null) and reads `replySize` bytes
  // into `reply`. A failure closes the connection, unless not one byte of
  // the request could be sent (CodeFailed on a connection left open).
  Stage request(std::uint32_t code, const protocol::RequestBlock* block, std::uint8_t* reply,
                int replySize);

  // The same with a 40-byte ReplyHeader.
  Stage request(std::uint32_t code, const protocol::RequestBlock* block, protocol::ReplyHeader& header);

  // Data phase. A short read or write leaves the stream out of step, so the
  // connection is closed: a late byte must never be taken for the next reply.
  // A read says how it ended (complete, timed out, closed).
  Connection::ReadResult read(void* buffer, int size);
  // Between 1 and `size` bytes into `buffer`, their count in `got`.
  Connection::ReadResult readSome(void* buffer, int size, int& got);
  // `moreFollows`: another write comes at once (pieces of one upload).
  bool write(const void* buffer, int size, bool moreFollows = false);
  // As much of `buffer` as the connection takes now, without waiting: the
  // count, or -1 (the connection is closed then).
  int writeNow(const void* buffer, int size);

  // Closes the connection for a failure that left the stream out of step.
  void abandon() { connection_.close(); }

 private:
  Connection& connection_;
};

}  // namespace korvex
