// Socket I/O for one connection, bounded by time-outs.
//
// The socket is non-blocking and every wait is a poll(2) with a time-out, so a
// peer that stalls costs one sleeping thread for a bounded time, and closing
// the socket from the server (shutdown) wakes the wait at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

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

  // Input goes through a receive buffer: one recv takes whatever has arrived,
  // so a burst of pipelined requests costs a few calls, not two per request.

  // Reads exactly `size` bytes. The first wait may be longer (`firstWaitMs`,
  // -1 for no limit): that is the idle gap between two commands, waited only
  // when nothing of the next request has arrived yet.
  Io readExact(void* buffer, std::size_t size);
  Io readExact(void* buffer, std::size_t size, int firstWaitMs);

  // Reads exactly `size` bytes, all of them by `deadline` however they trickle
  // in: a per-wait limit restarts with every byte, this one does not.
  Io readExactBy(void* buffer, std::size_t size, std::chrono::steady_clock::time_point deadline);

  // Waits `ms` without reading: Ok once the time has passed, Closed as soon
  // as the peer hangs up or the server shuts the socket down.
  Io pause(int ms);

  // Takes what has arrived, between 1 and `max` bytes, from the receive
  // buffer (waiting for more only when it is empty). `data` stays valid until
  // the next call that reads.
  Io takeSome(std::size_t max, const std::uint8_t*& data, std::size_t& got);

  // Bytes received and not yet taken.
  std::size_t buffered() const { return inEnd_ - inBegin_; }

  // Writes every byte. Output is held back while more input is buffered (a
  // burst of requests is answered by few sends), and always flushed before
  // any wait for input. `more`: bytes of the same reply follow, keep these
  // with them.
  Io writeAll(const void* buffer, std::size_t size, bool more = false);

  // Sends what writeAll held back. `more`: data follows at once (MSG_MORE),
  // so the held bytes and that data leave in the same segments.
  Io flush(bool more = false);

  // Sends `count` bytes of `fileFd` from offset 0 with sendfile(2), after
  // what was held back. A file that ends early gives Failed with errno
  // ENODATA: the peer already has the size.
  Io sendFile(int fileFd, std::uint64_t count);

  // Moves up to `count` bytes from the socket into `fileFd` through `pipe`
  // (splice(2): the bytes never enter user space), adding what it took from
  // the socket to `moved`. Only with the receive buffer empty: what it holds
  // comes first. Stops early, with Ok, when the file refuses bytes
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
  // One receive into the empty buffer, waiting up to `waitMs` for input.
  Io fill(int waitMs);
  Io await(short events, int timeoutMs);
  // Flushes held output, then waits for input: never sit on a reply the
  // client may be waiting for.
  Io awaitInput(int timeoutMs);
  Io sendAll(const void* buffer, std::size_t size, int flags);
  // After a send that failed (errno set): Ok to try again, the socket being
  // writable or the call interrupted; otherwise how the send ended.
  Io afterSendError();

  int fd_;
  int stallMs_;
  // Allocated at the first read: a connection that never sends costs nothing.
  std::unique_ptr<std::uint8_t[]> in_;
  std::size_t inBegin_ = 0, inEnd_ = 0;
  std::vector<std::uint8_t> out_;  // held back; grows only as far as replies need
};

}  // namespace korvexd
