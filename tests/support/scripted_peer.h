// A scripted service on 127.0.0.1: a test drives it step by step and checks
// the exact bytes the library sends.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <string>
#include <string_view>
#include <vector>

namespace korvex::test {

using Bytes = std::vector<std::uint8_t>;

Bytes zeros(std::size_t n);
Bytes concat(std::initializer_list<Bytes> parts);
Bytes word(std::uint32_t value);
Bytes reply(std::int32_t status, std::uint32_t value = 0);
Bytes pathField(std::string_view path, std::size_t size = 1024);
Bytes text(std::string_view s);

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
  // No further connection is accepted: connects are refused.
  void stopListening();
  // Up to `n` bytes, fewer only when the client closed or the wait ran out.
  Bytes read(std::size_t n, int timeoutMs = 5000);
  void send(const Bytes& bytes);
  void close();
  // Hands the current client's descriptor to the caller, who closes it.
  int releaseClient() {
    const int fd = client_;
    client_ = -1;
    return fd;
  }

  // Reads the password block and answers the login.
  Bytes acceptLogin(std::string_view deviceName = "Phone");

  // Reads the next command code, answering any keep-alive that comes first.
  std::uint32_t readCode(int timeoutMs = 5000);
  // The next command (after keep-alives) with its request block.
  Bytes readRequest(std::size_t blockSize, int timeoutMs = 5000);

  // True when nothing but keep-alives (answered) arrives for `ms`.
  bool quietFor(int ms);
  // True when the client closes within the time.
  bool clientClosed(int timeoutMs = 5000);

  int keepAlivesAnswered() const { return keepAlives_; }

 private:
  int listener_ = -1;
  int client_ = -1;
  std::vector<int> earlier_;
  std::uint16_t port_ = 0;
  int keepAlives_ = 0;
};

// Answers a session's keep-alives (and its size queries, with a size set by
// the test) on its own thread, so a test can work on other connections.
class SessionResponder {
 public:
  explicit SessionResponder(int fd);
  ~SessionResponder();  // closes the connection: the session's next keep-alive fails
  SessionResponder(const SessionResponder&) = delete;
  SessionResponder& operator=(const SessionResponder&) = delete;

  // The reply to CMD_FILE_SIZE: status 0 with this value, or status 1 when negative.
  void setFileSize(std::int64_t size) { fileSize_.store(size); }

 private:
  int fd_;
  int stopPipe_[2] = {-1, -1};
  std::atomic<std::int64_t> fileSize_{-1};
  std::thread thread_;
};

}  // namespace korvex::test
