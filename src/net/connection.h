// One TCP socket, shared by copies of a Connection and closed with the last.
#pragma once

#include <atomic>
#include <span>

#include "net/socket.h"
#include "runtime/mutex.h"

namespace korvex {

// Guards every Connection's share count and the copying of its members.
// Defined in api/module.cpp, where the order of the process-wide objects is fixed.
extern PlainMutex connectionLock;

class Connection {
 public:
  // How readExactly and writeAll ended.
  enum ReadResult : int { Closed = -1, TimedOut = 0, Complete = 1 };

  Connection() = default;
  Connection(const Connection& other);
  Connection& operator=(const Connection& other);
  virtual ~Connection();

  // Drops this share; the last share closes the socket. Safe to call from
  // another thread while the owner waits in a read or write: the socket is
  // shut down so that wait ends at once, and the descriptor is released only
  // after every operation using it has returned.
  void close();

  void setTimeout(int ms);
  int timeout() const { return timeout_; }
  void setBlocking(bool blocking);

  bool readReady(int ms);
  bool writeReady(int ms);
  int readOnce(void* buffer, int size, int ms);
  // 1 complete, 0 timed out, -1 closed or failed; `got` counts what arrived.
  int readExactly(void* buffer, int size, int* got, int ms = -1);
  // The count sent (all of `len` on success), or -1 when nothing could be
  // sent.
  int writeAll(const void* buffer, int len, int ms = -1);
  // The same for parts sent back to back, so that a short header and the
  // block after it leave in one segment and one system call.
  int writeAll(std::span<const sys::ConstBuffer> parts, int ms = -1);

  // Makes a freshly connected socket the first share.
  void initShared();

  bool live() const { return live_.load(); }
  int shareCount() const;
  const sys::Ipv4Endpoint& peer() const { return peer_; }

 private:
  friend class TcpConnector;

  struct Share;
  // Holds one share's socket open for the length of one operation.
  class Use;

  void adopt(sys::SocketHandle socket, const sys::Ipv4Endpoint& peer);
  Share* acquire();
  static void releaseUse(Share* share);
  // One receive of at most `size` bytes: the count, 0 on time-out, -1 when
  // the peer closed or the receive failed.
  // `pollFirst` skips the attempt that would only find nothing yet.
  static int receiveSome(Share& share, void* buffer, int size, int wait, bool pollFirst);
  int effectiveTimeout(int ms) const { return ms < 0 ? timeout_ : ms; }

  PlainMutex useLock_;
  Share* share_ GUARDED_BY(useLock_) = nullptr;
  int timeout_ = -1;
  sys::SocketHandle socket_ = sys::kNoSocket;
  std::atomic<bool> live_{false};
  sys::Ipv4Endpoint peer_{};
  bool blocking_ = true;
};

}  // namespace korvex
