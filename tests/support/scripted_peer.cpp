#include "scripted_peer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include "session/protocol.h"

namespace korvex::test {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool waitReadable(int fd, int ms) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, ms) > 0;
}

}  // namespace

Bytes zeros(std::size_t n) { return Bytes(n, 0); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes word(std::uint32_t value) {
  Bytes bytes(4);
  protocol::putWord(bytes.data(), value);
  return bytes;
}

Bytes reply(std::int32_t status, std::uint32_t value) {
  const auto encoded = protocol::encodeReply(status, value);
  return Bytes(encoded.begin(), encoded.end());
}

Bytes pathField(std::string_view path, std::size_t size) {
  Bytes field(size, 0);
  std::memcpy(field.data(), path.data(), std::min(path.size(), size));
  return field;
}

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

ScriptedPeer::ScriptedPeer() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 64) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("scripted peer cannot listen");
  }
  port_ = ntohs(address.sin_port);
}

ScriptedPeer::~ScriptedPeer() {
  close();
  for (int fd : earlier_) ::close(fd);
  stopListening();
}

void ScriptedPeer::stopListening() {
  if (listener_ >= 0) ::close(listener_);
  listener_ = -1;
}

std::string ScriptedPeer::address() const { return "127.0.0.1:" + std::to_string(port_); }

bool ScriptedPeer::accept(int timeoutMs) {
  if (client_ >= 0) earlier_.push_back(client_);
  client_ = -1;
  if (listener_ < 0 || !waitReadable(listener_, timeoutMs)) return false;
  client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  return client_ >= 0;
}

Bytes ScriptedPeer::read(std::size_t n, int timeoutMs) {
  Bytes bytes(n);
  std::size_t got = 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (got < n && client_ >= 0) {
    if (!waitReadable(client_, remainingMs(deadline))) break;
    const ssize_t r = ::recv(client_, bytes.data() + got, n - got, 0);
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  bytes.resize(got);
  return bytes;
}

void ScriptedPeer::send(const Bytes& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t r = ::send(client_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (r <= 0) return;
    sent += static_cast<std::size_t>(r);
  }
}

void ScriptedPeer::close() {
  if (client_ >= 0) ::close(client_);
  client_ = -1;
}

Bytes ScriptedPeer::acceptLogin(std::string_view deviceName) {
  if (!accept()) return {};
  Bytes block = read(protocol::PASSWORD_BLOCK_SIZE);
  const auto name = protocol::encodeDeviceName(deviceName);
  send(concat({zeros(protocol::LOGIN_REPLY_SIZE), Bytes(name.begin(), name.end())}));
  return block;
}

std::uint32_t ScriptedPeer::readCode(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const Bytes code = read(4, remainingMs(deadline));
    if (code.size() != 4) return 0xFFFFFFFFu;
    const std::uint32_t value = protocol::getWord(code.data());
    if (value != protocol::CMD_KEEPALIVE) return value;
    send(reply(0));
    ++keepAlives_;
  }
}

Bytes ScriptedPeer::readRequest(std::size_t blockSize, int timeoutMs) {
  const std::uint32_t code = readCode(timeoutMs);
  if (code == 0xFFFFFFFFu) return {};
  return concat({word(code), read(blockSize, timeoutMs)});
}

bool ScriptedPeer::quietFor(int ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (remainingMs(deadline) > 0) {
    if (!waitReadable(client_, remainingMs(deadline))) return true;
    const Bytes code = read(4, 1000);
    if (code != word(protocol::CMD_KEEPALIVE)) return false;
    send(reply(0));
    ++keepAlives_;
  }
  return true;
}

bool ScriptedPeer::clientClosed(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::uint8_t byte;
  while (client_ >= 0 && waitReadable(client_, remainingMs(deadline))) {
    const ssize_t r = ::recv(client_, &byte, 1, 0);
    if (r <= 0) return true;
  }
  return false;
}

SessionResponder::SessionResponder(int fd) : fd_(fd) {
  if (::pipe2(stopPipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  thread_ = std::thread([this] {
    for (;;) {
      pollfd entries[2] = {{fd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
      if (::poll(entries, 2, -1) < 0 || entries[1].revents != 0) return;
      std::uint8_t code[4];
      if (::recv(fd_, code, 4, MSG_WAITALL) != 4) return;
      Bytes answer;
      switch (protocol::getWord(code)) {
        case protocol::CMD_KEEPALIVE:
          answer = reply(0);
          break;
        case protocol::CMD_FILE_SIZE: {
          std::uint8_t block[1024];
          if (::recv(fd_, block, sizeof block, MSG_WAITALL) != sizeof block) return;
          const std::int64_t size = fileSize_.load();
          answer = size < 0 ? reply(1) : reply(0, static_cast<std::uint32_t>(size));
          break;
        }
        default:
          return;
      }
      if (::send(fd_, answer.data(), answer.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(answer.size())) return;
    }
  });
}

SessionResponder::~SessionResponder() {
  if (::write(stopPipe_[1], "x", 1) != 1) std::abort();
  thread_.join();
  ::close(fd_);
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
}

}  // namespace korvex::test
