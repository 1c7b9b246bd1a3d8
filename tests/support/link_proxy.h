// A TCP relay on 127.0.0.1 that makes loopback look like a Wi-Fi link to a
// phone: a fixed one-way delay and a rate limit in each direction, shared by
// every connection through it, as the air is.
//
// Each chunk read from one side is delivered to the other once the link has
// serialised it (after the chunks before it, from any connection going the
// same way) and the delay has passed. A new connection's first bytes toward
// the target wait one round trip more, the handshake a real connect pays.
// Two threads per direction of each connection (one reading, one writing at
// the due times) keep the relay from being the bottleneck.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "socket_io.h"

namespace korvex::test {

struct LinkShape {
  std::chrono::microseconds delay{0};  // one way
  double bitsPerSecond = 0;            // each direction; 0: no limit
};

class LinkProxy {
 public:
  // Relays to 127.0.0.1:targetPort from 127.0.0.1:listenPort (0: a port the
  // system picks). listening() tells whether it came up.
  LinkProxy(std::uint16_t targetPort, LinkShape shape, std::uint16_t listenPort = 0);
  ~LinkProxy();  // stop()
  LinkProxy(const LinkProxy&) = delete;
  LinkProxy& operator=(const LinkProxy&) = delete;

  bool listening() const { return listener_ != loopback::kNoSocket; }
  std::uint16_t port() const { return port_; }
  std::string address() const;  // "127.0.0.1:PORT"
  // Connections accepted so far, and those whose both directions have ended.
  std::uint64_t accepted() const { return accepted_.load(); }
  std::uint64_t finished() const { return finished_.load(); }

  // Closes the listener and every connection; what is still queued is dropped.
  void stop();

  class Line;
  class Connection;

 private:
  void acceptLoop();
  void reap(bool all);

  LinkShape shape_;
  std::uint16_t target_;
  loopback::Socket listener_ = loopback::kNoSocket;
  std::uint16_t port_ = 0;
  std::unique_ptr<Line> up_, down_;
  std::mutex mutex_;
  std::list<std::unique_ptr<Connection>> connections_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> accepted_{0}, finished_{0};
  std::thread acceptor_;
};

}  // namespace korvex::test
