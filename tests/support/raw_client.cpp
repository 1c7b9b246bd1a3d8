#include "raw_client.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace korvex::test {

namespace proto = korvex::protocol;

RawClient::RawClient(std::uint16_t port, Waits waits)
    : socket_(loopback::connectLoopback(port)), waits_(waits) {}

RawClient::~RawClient() { close(); }

void RawClient::close() {
  loopback::closeSocket(socket_);
  socket_ = loopback::kNoSocket;
}

bool RawClient::send(const void* data, std::size_t size) {
  if (waits_ == Waits::Blocking) return loopback::sendAll(socket_, data, size);
  const auto* at = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    if (!loopback::waitWritable(socket_, 5000)) return false;
    const loopback::IoResult sent = loopback::sendSome(socket_, at, size, false);
    if (sent.status == loopback::Io::WouldBlock) continue;
    if (sent.status != loopback::Io::Done) return false;
    at += sent.count;
    size -= sent.count;
  }
  return true;
}

std::size_t RawClient::receive(void* data, std::size_t size, int timeoutMs) {
  auto* at = static_cast<std::uint8_t*>(data);
  std::size_t done = 0;
  while (done < size) {
    if (waits_ == Waits::Polled && !loopback::waitReadable(socket_, timeoutMs)) break;
    const loopback::IoResult got = loopback::receiveSome(socket_, at + done, size - done);
    if (got.status != loopback::Io::Done) break;
    done += got.count;
  }
  return done;
}

Bytes RawClient::read(std::size_t size, int timeoutMs) {
  Bytes bytes(size);
  bytes.resize(receive(bytes.data(), size, timeoutMs));
  return bytes;
}

bool RawClient::closedByService(int timeoutMs) {
  if (!loopback::waitReadable(socket_, timeoutMs)) return false;
  std::uint8_t byte;
  return loopback::receiveSome(socket_, &byte, 1).status == loopback::Io::Closed;
}

std::optional<std::string> RawClient::login(std::string_view password) {
  if (!send(proto::encodePassword(password).data(), proto::PASSWORD_BLOCK_SIZE)) return std::nullopt;
  std::array<std::uint8_t, proto::LOGIN_REPLY_SIZE + proto::DEVICE_NAME_SIZE> answer;
  if (receive(answer.data(), answer.size()) != answer.size()) return std::nullopt;
  return std::string(proto::fieldText(answer.data() + proto::LOGIN_REPLY_SIZE, proto::DEVICE_NAME_SIZE));
}

bool RawClient::request(std::uint32_t code) { return send(proto::encodeCode(code).data(), proto::CODE_SIZE); }

bool RawClient::request(std::uint32_t code, const proto::RequestBlock& block) {
  std::array<std::uint8_t, proto::CODE_SIZE + proto::MAX_BLOCK_SIZE> bytes;
  proto::putWord(bytes.data(), code);
  std::memcpy(bytes.data() + proto::CODE_SIZE, block.data(), static_cast<std::size_t>(block.size()));
  return send(bytes.data(), proto::CODE_SIZE + static_cast<std::size_t>(block.size()));
}

std::optional<proto::ReplyHeader> RawClient::reply() {
  std::array<std::uint8_t, proto::REPLY_HEADER_SIZE> bytes;
  if (receive(bytes.data(), bytes.size()) != bytes.size()) return std::nullopt;
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

}  // namespace korvex::test
