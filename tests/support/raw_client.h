// A bare protocol client: loopback sockets and the wire layouts, nothing of
// the library, so a test sees exactly the bytes korvexd sends and a
// benchmark has a reference with no client code of ours in the way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bytes.h"
#include "protocol.h"
#include "socket_io.h"

namespace korvex::test {

class RawClient {
 public:
  // Polled: every send and receive waits for the socket first, bounded by a
  // time-out (5 s unless given), as a test wants. Blocking: plain blocking
  // calls with no time-out, the fewest system calls, as a benchmark's
  // reference client wants.
  enum class Waits { Polled, Blocking };

  // Connects to 127.0.0.1:port; connected() tells whether it worked.
  explicit RawClient(std::uint16_t port, Waits waits = Waits::Polled);
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return socket_ != loopback::kNoSocket; }
  // No Nagle delay from here on: a request right after the tail of an upload
  // leaves at once, as the library's does.
  void sendAtOnce() { loopback::sendAtOnce(socket_); }
  bool send(const void* data, std::size_t size);
  bool send(const Bytes& bytes) { return send(bytes.data(), bytes.size()); }
  // Up to `size` bytes into `data`; fewer only when the service closed or the
  // wait ran out. The count received.
  std::size_t receive(void* data, std::size_t size, int timeoutMs = 5000);
  // The same as bytes.
  Bytes read(std::size_t size, int timeoutMs = 5000);
  // True when the service closes the connection (after sending nothing more).
  bool closedByService(int timeoutMs = 5000);
  void close();

  // Sends the password block and reads the 104-byte answer; the device name,
  // or nothing when the service did not answer in full.
  std::optional<std::string> login(std::string_view password);

  // The code, and its block in the same send.
  bool request(std::uint32_t code);
  bool request(std::uint32_t code, const protocol::RequestBlock& block);
  std::optional<protocol::ReplyHeader> reply();

  // One exchange with a ReplyHeader and no data phase; its status, or
  // nothing when the exchange broke.
  std::optional<std::int32_t> status(std::uint32_t code, const protocol::RequestBlock& block);
  std::optional<std::int32_t> status(std::uint32_t code);
  std::optional<std::int32_t> status(std::uint32_t code, std::string_view path) {
    return status(code, protocol::pathBlock(path));
  }

  // CMD_LIST_FILES or CMD_LIST_DIRS: the names, or nothing when refused.
  std::optional<std::vector<std::string>> list(std::uint32_t code, std::string_view path);
  // CMD_DOWNLOAD: the file's bytes, or nothing when refused.
  std::optional<Bytes> download(std::string_view path);
  // CMD_UPLOAD: the reply status; on 0 the bytes have been sent.
  std::optional<std::int32_t> upload(std::string_view path, const Bytes& content);
  // CMD_SPACE_SIZE: the bare word.
  std::optional<std::int32_t> space(std::string_view path);

 private:
  loopback::Socket socket_ = loopback::kNoSocket;
  Waits waits_;
};

}  // namespace korvex::test
