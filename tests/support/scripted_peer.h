// Peers that play the phone's service on 127.0.0.1.
//
// ScriptedPeer: a test drives it step by step and checks the exact bytes the
// library sends. SessionResponder: answers one connection's keep-alives and
// size queries on a thread of its own. AnsweringPeer: answers every client
// at once, for measuring a client's own cost.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bytes.h"
#include "socket_io.h"

namespace korvex::test {

class ScriptedPeer {
 public:
  ScriptedPeer();
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  std::uint16_t port() const { return port_; }
  std::string address() const;

  // Waits for the next client and makes it the current one; earlier clients
  // stay open until the peer goes away.
  bool accept(int timeoutMs = 5000);
  // Makes a connection made elsewhere the current client, as accept does.
  void adoptClient(loopback::Socket client);
  // No further connection is accepted: connects are refused.
  void stopListening();
  // Up to `n` bytes, fewer only when the client closed or the wait ran out.
  Bytes read(std::size_t n, int timeoutMs = 5000);
  void send(const Bytes& bytes);
  void close();
  // Hands the current client's connection to the caller, who closes it.
  int releaseClient() {
    const auto client = client_;
    client_ = loopback::kNoSocket;
    return static_cast<int>(client);
  }

  // Reads the password block and answers the login.
  Bytes acceptLogin(std::string_view deviceName = "Phone");

  // Reads the next command code, answering any keep-alive that comes first.
  std::uint32_t readCode(int timeoutMs = 5000);
  // The next command (after keep-alives) with its request block.
  Bytes readRequest(std::size_t blockSize, int timeoutMs = 5000);

  // The size question that confirms an upload: reads its request (after
  // keep-alives) and answers `size`.
  Bytes answerSizeCheck(std::uint32_t size);

  // True when nothing but keep-alives (answered) arrives for `ms`.
  bool quietFor(int ms);
  // True when the client closes within the time.
  bool clientClosed(int timeoutMs = 5000);

  int keepAlivesAnswered() const { return keepAlives_; }

 private:
  loopback::Socket listener_ = loopback::kNoSocket;
  loopback::Socket client_ = loopback::kNoSocket;
  std::vector<loopback::Socket> earlier_;
  std::uint16_t port_ = 0;
  int keepAlives_ = 0;
};

// Answers a session's keep-alives (and its size queries, with a size set by
// the test) on its own thread, so a test can work on other connections. Any
// other command ends the answering: a session must send nothing else here.
class SessionResponder {
 public:
  explicit SessionResponder(int client);
  ~SessionResponder();  // closes the connection: the session's next keep-alive fails
  SessionResponder(const SessionResponder&) = delete;
  SessionResponder& operator=(const SessionResponder&) = delete;

  // The reply to CMD_FILE_SIZE: status 0 with this value, or status 1 when negative.
  void setFileSize(std::int64_t size) { fileSize_.store(size); }

 private:
  loopback::Socket socket_;
  std::atomic<std::int64_t> fileSize_{-1};
  std::thread thread_;
};

// Logs every client in and answers each command at once, on a thread per
// connection: listings with the names given, EXISTS and IS_DIR yes, sizes
// kFileSize, free space 0; copies are refused, everything else succeeds.
class AnsweringPeer {
 public:
  static constexpr std::uint32_t kFileSize = 4096;

  // `onThreadStart` runs first on every thread the peer starts (to pin it
  // to a CPU, say).
  explicit AnsweringPeer(const std::vector<std::string>& listing, std::function<void()> onThreadStart = {});
  // Closes every connection and joins every thread.
  ~AnsweringPeer();
  AnsweringPeer(const AnsweringPeer&) = delete;
  AnsweringPeer& operator=(const AnsweringPeer&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  void acceptClients();

  std::function<void()> onThreadStart_;
  Bytes listing_;  // header, count and records, sent in one piece
  std::atomic<std::int64_t> fileSize_{kFileSize};
  loopback::Socket listener_ = loopback::kNoSocket;
  std::uint16_t port_ = 0;
  std::thread acceptor_;
  // Touched by the accept thread only, and by the destructor after joining it.
  std::vector<loopback::Socket> clients_;
  std::vector<std::thread> answerers_;
};

}  // namespace korvex::test
