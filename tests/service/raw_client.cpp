#include "raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace korvex::test {

namespace proto = korvex::protocol;

RawClient::RawClient(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    fd_ = fd;
  } else if (fd >= 0) {
    ::close(fd);
  }
}

RawClient::~RawClient() { close(); }

void RawClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool RawClient::send(const void* data, std::size_t size) {
  const auto* at = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, 5000) <= 0) return false;
    ssize_t n = ::send(fd_, at, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    at += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

Bytes RawClient::read(std::size_t size, int timeoutMs) {
  Bytes bytes(size);
  std::size_t done = 0;
  while (done < size) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) break;
    ssize_t n = ::recv(fd_, bytes.data() + done, size - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

bool RawClient::closedByService(int timeoutMs) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return false;
  std::uint8_t byte;
  ssize_t n = ::recv(fd_, &byte, 1, 0);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

std::optional<std::string> RawClient::login(std::string_view password) {
  if (!send(proto::encodePassword(password).data(), proto::PASSWORD_BLOCK_SIZE)) return std::nullopt;
  Bytes answer = read(proto::LOGIN_REPLY_SIZE + proto::DEVICE_NAME_SIZE);
  if (answer.size() != proto::LOGIN_REPLY_SIZE + proto::DEVICE_NAME_SIZE) return std::nullopt;
  return std::string(proto::fieldText(answer.data() + proto::LOGIN_REPLY_SIZE, proto::DEVICE_NAME_SIZE));
}

bool RawClient::request(std::uint32_t code) { return send(proto::encodeCode(code).data(), proto::CODE_SIZE); }

bool RawClient::request(std::uint32_t code, const proto::RequestBlock& block) {
  Bytes bytes(proto::CODE_SIZE + block.size());
  proto::putWord(bytes.data(), code);
  std::copy(block.data(), block.data() + block.size(), bytes.begin() + proto::CODE_SIZE);
  return send(bytes);
}

std::optional<proto::ReplyHeader> RawClient::reply() {
  Bytes bytes = read(proto::REPLY_HEADER_SIZE);
  if (bytes.size() != proto::REPLY_HEADER_SIZE) return std::nullopt;
  return proto::decodeReply(bytes.data());
}

std::optional<std::int32_t> RawClient::status(std::uint32_t code, const proto::RequestBlock& block) {
  if (!request(code, block)) return std::nullopt;
  auto header = reply();
  if (!header) return std::nullopt;
  return header->status;
}

std::optional<std::int32_t> RawClient::status(std::uint32_t code) {
  if (!request(code)) return std::nullopt;
  auto header = reply();
  if (!header) return std::nullopt;
  return header->status;
}

std::optional<std::vector<std::string>> RawClient::list(std::uint32_t code, std::string_view path) {
  auto header = request(code, proto::pathBlock(path)) ? reply() : std::nullopt;
  if (!header || header->status != 0) return std::nullopt;
  Bytes count = read(proto::LIST_COUNT_SIZE);
  if (count.size() != proto::LIST_COUNT_SIZE) return std::nullopt;
  std::vector<std::string> names;
  for (std::uint32_t i = 0, n = proto::getWord(count.data()); i < n; ++i) {
    Bytes record = read(proto::NAME_RECORD_SIZE);
    if (record.size() != proto::NAME_RECORD_SIZE) return std::nullopt;
    names.emplace_back(proto::fieldText(record.data(), record.size()));
  }
  return names;
}

std::optional<Bytes> RawClient::download(std::string_view path) {
  auto header = request(proto::CMD_DOWNLOAD, proto::pathBlock(path)) ? reply() : std::nullopt;
  if (!header || header->status != 0) return std::nullopt;
  Bytes content = read(header->value);
  if (content.size() != header->value) return std::nullopt;
  return content;
}

std::optional<std::int32_t> RawClient::upload(std::string_view path, const Bytes& content) {
  auto result = status(proto::CMD_UPLOAD, proto::uploadBlock(path, static_cast<std::uint32_t>(content.size())));
  if (result && *result == 0 && !send(content)) return std::nullopt;
  return result;
}

std::optional<std::int32_t> RawClient::space(std::string_view path) {
  if (!request(proto::CMD_SPACE_SIZE, proto::pathBlock(path))) return std::nullopt;
  Bytes word = read(proto::SPACE_REPLY_SIZE);
  if (word.size() != proto::SPACE_REPLY_SIZE) return std::nullopt;
  return static_cast<std::int32_t>(proto::getWord(word.data()));
}

Bytes patternBytes(std::size_t size, unsigned seed) {
  Bytes bytes(size);
  std::uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<std::uint8_t>(state >> 16);
  }
  return bytes;
}

}  // namespace korvex::test
