// A bare client for the service tests: POSIX sockets and the wire layouts,
// nothing of the library, so the tests see exactly the bytes korvexd sends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "session/protocol.h"

namespace korvex::test {

using Bytes = std::vector<std::uint8_t>;

class RawClient {
 public:
  // Connects to 127.0.0.1:port; connected() tells whether it worked.
  explicit RawClient(std::uint16_t port);
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool send(const void* data, std::size_t size);
  bool send(const Bytes& bytes) { return send(bytes.data(), bytes.size()); }
  // Exactly `size` bytes; fewer when the service closed or the wait ran out.
  Bytes read(std::size_t size, int timeoutMs = 5000);
  // True when the service closes the connection (after sending nothing more).
  bool closedByService(int timeoutMs = 5000);
  void close();

  // Sends the password block and reads the 104-byte answer; the device name,
  // or nothing when the service did not answer in full.
  std::optional<std::string> login(std::string_view password);

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
  int fd_ = -1;
};

// `size` bytes of a fixed pseudo-random pattern, so shifted data shows.
Bytes patternBytes(std::size_t size, unsigned seed = 1);

}  // namespace korvex::test
