// One TCP socket, shared by copies of a Connection and closed with the last.
#pragma once

#include <atomic>
#include <span>

#include "net/socket.h"
#include "runtime/mutex.h"

namespace korvex {

class Connection {
 public:
  // How a read or a wait ended: all of it, the time-out passed, or the peer
  // closed or the socket failed.
  enum ReadResult : int { Closed = -1, TimedOut = 0, Complete = 1 };

  Connection() = default;
  Connection(const Connection& other);
  Connection& operator=(const Connection& other);
  virtual ~Connection();

  // Makes a freshly connected socket the first share; `blocking` picks how
  // its receives wait.
  void adopt(sys::SocketHandle socket, bool blocking);

  // Drops this share; the last share closes the socket. Safe to call from
  // another thread while the owner waits in a read or write: the socket is
  // shut down so that wait ends at once, and the descriptor is released only
  // after every operation using it has returned.
  void close();

  void setTimeout(int ms);
  int timeout() const { return timeout_; }

  // `got` counts what arrived, whatever the result.
  ReadResult readExactly(void* buffer, int size, int* got, int ms = -1);
  // At least one byte and at most `size`: what is queued, or the first to
  // arrive within the wait. For bulk data taken in large blocks.
  ReadResult readSome(void* buffer, int size, int* got, int ms = -1);
  // The count sent (all of `len` on success), or -1 when nothing could be
  // sent. `moreFollows` marks a piece that the caller follows at once with
  // another, so the two can share a segment.
  int writeAll(const void* buffer, int len, int ms = -1, bool moreFollows = false);
  // The same for parts sent back to back, so that a short header and the
  // block after it leave in one segment and one system call.
  int writeAll(std::span<const sys::ConstBuffer> parts, int ms = -1, bool moreFollows = false);
  // What the socket takes now, without waiting: the count (0 when it takes
  // nothing yet), or -1 when the connection is closed or failed.
  int writeNow(const void* buffer, int len);

  bool live() const { return live_.load(); }
  int shareCount() const;

 private:
  struct Share;
  // Holds one share's socket open for the length of one operation.
  class Use;
  // One receive's outcome: Complete with `count` > 0 bytes, or why none came.
  struct Received {
    ReadResult result;
    int count;
  };

  Share* acquire();
  static void releaseUse(Share* share);
  // One receive of what is queued now; TimedOut when nothing is.
  static Received takeQueued(Share& share, void* buffer, int size);
  // A wait for data within `wait` ms, then one receive.
  static Received waitThenTake(Share& share, void* buffer, int size, int wait);
  // A reply to a request just sent is never there yet: wait, then take it.
  static Received receiveAwaited(Share& share, void* buffer, int size, int wait);
  void applyBlocking(Share& share);
  int effectiveTimeout(int ms) const { return ms < 0 ? timeout_ : ms; }

  PlainMutex useLock_;
  Share* share_ GUARDED_BY(useLock_) = nullptr;
  int timeout_ = -1;
  std::atomic<bool> live_{false};
  bool blocking_ = true;
};

}  // namespace korvex
