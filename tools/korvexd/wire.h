// Socket I/O for one connection, bounded by time-outs.
//
// The socket is non-blocking and every wait is a poll(2) with a time-out, so a
// peer that stalls costs one sleeping thread for a bounded time, and closing
// the socket from the server (shutdown) wakes the wait at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace korvexd {

enum class Io {
  Ok,
  Closed,    // the peer closed (or the server shut the socket down)
  TimedOut,  // no progress within the time-out
  Failed,    // a socket or file error; errno tells which
};

const char* describe(Io io);

class Wire {
 public:
  // `stallMs`: the longest wait for any progress once an exchange has begun.
  Wire(int fd, int stallMs) : fd_(fd), stallMs_(stallMs) {}

  // Reads exactly `size` bytes. The first wait may be longer (`firstWaitMs`,
  // -1 for no limit): that is the idle gap between two commands.
  Io readExact(void* buffer, std::size_t size);
  Io readExact(void* buffer, std::size_t size, int firstWaitMs);

  // Reads exactly `size` bytes, all of them by `deadline` however they trickle
  // in: a per-wait limit restarts with every byte, this one does not.
  Io readExactBy(void* buffer, std::size_t size, std::chrono::steady_clock::time_point deadline);

  // Waits `ms` without reading: Ok once the time has passed, Closed as soon
  // as the peer hangs up or the server shuts the socket down.
  Io pause(int ms);

  // Reads what has arrived, between 1 and `size` bytes, into `got`.
  Io readSome(void* buffer, std::size_t size, std::size_t& got);

  // Writes every byte. `more` keeps the bytes back (MSG_MORE) so that the data
  // which follows leaves in the same segments, without a delayed-ACK stall.
  Io writeAll(const void* buffer, std::size_t size, bool more = false);

  // Sends `count` bytes of `fileFd` from offset 0 with sendfile(2). A file that
  // ends early gives Failed with errno ENODATA: the peer already has the size.
  Io sendFile(int fileFd, std::uint64_t count);

  // Moves up to `count` bytes from the socket into `fileFd` through `pipe`
  // (splice(2): the bytes never enter user space), adding what it took from
  // the socket to `moved`. Stops early, with Ok, when the file refuses bytes
  // (`fileError` set; what the pipe held then is dropped) or when splice is
  // not supported here (`unsupported` set, nothing moved): the caller reads
  // the rest itself.
  struct Pipe {
    int read = -1, write = -1;
    std::size_t size = 0;
  };
  Io spliceToFile(const Pipe& pipe, int fileFd, std::size_t count, std::size_t& moved, int& fileError,
                  bool& unsupported);

 private:
  Io await(short events, int timeoutMs);
  Io receive(void* buffer, std::size_t size, std::size_t& got, int waitMs);
  // After a send that failed (errno set): Ok to try again, the socket being
  // writable or the call interrupted; otherwise how the send ended.
  Io afterSendError();

  int fd_;
  int stallMs_;
};

}  // namespace korvexd
