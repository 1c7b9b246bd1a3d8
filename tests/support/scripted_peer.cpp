#include "scripted_peer.h"

#include <chrono>
#include <cstring>
#include <stdexcept>

#include "deadline.h"
#include "protocol.h"

namespace korvex::test {

namespace proto = korvex::protocol;

namespace {

loopback::Socket listenOrThrow(std::uint16_t& port) {
  const loopback::Socket listener = loopback::listenLoopback(64, port);
  if (listener == loopback::kNoSocket) throw std::runtime_error("peer cannot listen on 127.0.0.1");
  return listener;
}

// What an answering thread says to each command.
struct Answers {
  const std::atomic<std::int64_t>& fileSize;  // negative: the size query is refused
  const Bytes* listing = nullptr;             // null: only keep-alives and size queries are answered
};

// Answers commands until the connection closes or a command falls outside
// the answers; the caller closes the socket.
void answerCommands(loopback::Socket socket, const Answers& answers) {
  static const proto::ReplyBytes kStatusOne = proto::encodeReply(1, 0);
  static const proto::ReplyBytes kDone = proto::encodeReply(0, 0);
  static const std::uint8_t kNoSpace[proto::SPACE_REPLY_SIZE] = {};
  std::uint8_t block[proto::MAX_BLOCK_SIZE];
  for (;;) {
    std::uint8_t codeBytes[proto::CODE_SIZE];
    if (!loopback::receiveAll(socket, codeBytes, sizeof codeBytes)) return;
    const std::uint32_t code = proto::getWord(codeBytes);
    const bool known = code == proto::CMD_KEEPALIVE || code == proto::CMD_FILE_SIZE ||
                       (answers.listing != nullptr && code <= proto::kLastCommandCode);
    if (!known) return;
    const int blockSize = proto::requestBlockSize(code);
    if (blockSize > 0 && !loopback::receiveAll(socket, block, static_cast<std::size_t>(blockSize))) return;

    proto::ReplyBytes sized;
    const void* answer = kDone.data();
    std::size_t size = kDone.size();
    switch (code) {
      case proto::CMD_FILE_SIZE: {
        const std::int64_t fileSize = answers.fileSize.load();
        sized = fileSize < 0 ? kStatusOne : proto::encodeReply(0, static_cast<std::uint32_t>(fileSize));
        answer = sized.data();
        break;
      }
      case proto::CMD_LIST_FILES:
      case proto::CMD_LIST_DIRS:
        answer = answers.listing->data();
        size = answers.listing->size();
        break;
      case proto::CMD_SPACE_SIZE:
        answer = kNoSpace;
        size = sizeof kNoSpace;
        break;
      case proto::CMD_EXISTS:
      case proto::CMD_IS_DIR:
      // Copies are not served here: refused, so the client's stream stays in step.
      case proto::CMD_DOWNLOAD:
      case proto::CMD_UPLOAD:
        answer = kStatusOne.data();
        break;
      default:
        break;
    }
    if (!loopback::sendAll(socket, answer, size)) return;
  }
}

}  // namespace

ScriptedPeer::ScriptedPeer() { listener_ = listenOrThrow(port_); }

ScriptedPeer::~ScriptedPeer() {
  close();
  for (loopback::Socket socket : earlier_) loopback::closeSocket(socket);
  stopListening();
}

void ScriptedPeer::stopListening() {
  loopback::closeSocket(listener_);
  listener_ = loopback::kNoSocket;
}

std::string ScriptedPeer::address() const { return "127.0.0.1:" + std::to_string(port_); }

void ScriptedPeer::adoptClient(loopback::Socket client) {
  if (client_ != loopback::kNoSocket) earlier_.push_back(client_);
  client_ = client;
}

bool ScriptedPeer::accept(int timeoutMs) {
  if (client_ != loopback::kNoSocket) earlier_.push_back(client_);
  client_ = loopback::kNoSocket;
  if (listener_ == loopback::kNoSocket || !loopback::waitReadable(listener_, timeoutMs)) return false;
  client_ = loopback::acceptClient(listener_);
  return client_ != loopback::kNoSocket;
}

Bytes ScriptedPeer::read(std::size_t n, int timeoutMs) {
  Bytes bytes(n);
  std::size_t got = 0;
  const Deadline deadline{std::chrono::milliseconds(timeoutMs)};
  while (got < n && client_ != loopback::kNoSocket) {
    if (!loopback::waitReadable(client_, deadline.leftMs())) break;
    const loopback::IoResult r = loopback::receiveSome(client_, bytes.data() + got, n - got);
    if (r.status != loopback::Io::Done) break;
    got += r.count;
  }
  bytes.resize(got);
  return bytes;
}

void ScriptedPeer::send(const Bytes& bytes) { loopback::sendAll(client_, bytes.data(), bytes.size()); }

void ScriptedPeer::close() {
  loopback::closeSocket(client_);
  client_ = loopback::kNoSocket;
}

Bytes ScriptedPeer::acceptLogin(std::string_view deviceName) {
  if (!accept()) return {};
  Bytes block = read(proto::PASSWORD_BLOCK_SIZE);
  send(loginAnswer(deviceName));
  return block;
}

Bytes ScriptedPeer::answerSizeCheck(std::uint32_t size) {
  Bytes request = readRequest(proto::PATH_BLOCK_SIZE);
  send(reply(0, size));
  return request;
}

std::uint32_t ScriptedPeer::readCode(int timeoutMs) {
  const Deadline deadline{std::chrono::milliseconds(timeoutMs)};
  for (;;) {
    const Bytes code = read(4, deadline.leftMs());
    if (code.size() != 4) return 0xFFFFFFFFu;
    const std::uint32_t value = proto::getWord(code.data());
    if (value != proto::CMD_KEEPALIVE) return value;
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
  const Deadline deadline{std::chrono::milliseconds(ms)};
  while (deadline.leftMs() > 0) {
    if (!loopback::waitReadable(client_, deadline.leftMs())) return true;
    const Bytes code = read(4, 1000);
    if (code != word(proto::CMD_KEEPALIVE)) return false;
    send(reply(0));
    ++keepAlives_;
  }
  return true;
}

bool ScriptedPeer::clientClosed(int timeoutMs) {
  const Deadline deadline{std::chrono::milliseconds(timeoutMs)};
  std::uint8_t byte;
  while (client_ != loopback::kNoSocket && loopback::waitReadable(client_, deadline.leftMs())) {
    if (loopback::receiveSome(client_, &byte, 1).status != loopback::Io::Done) return true;
  }
  return false;
}

SessionResponder::SessionResponder(int client)
    : socket_(client), thread_([this] { answerCommands(socket_, Answers{fileSize_}); }) {}

SessionResponder::~SessionResponder() {
  loopback::shutdownBoth(socket_);  // ends a receive the thread waits in
  thread_.join();
  loopback::closeSocket(socket_);
}

AnsweringPeer::AnsweringPeer(const std::vector<std::string>& listing, std::function<void()> onThreadStart)
    : onThreadStart_(std::move(onThreadStart)) {
  listing_ = concat({reply(0), word(static_cast<std::uint32_t>(listing.size()))});
  for (const std::string& name : listing) {
    const proto::NameRecord record = proto::encodeName(name);
    listing_.insert(listing_.end(), record.begin(), record.end());
  }
  listener_ = listenOrThrow(port_);
  acceptor_ = std::thread([this] { acceptClients(); });
}

AnsweringPeer::~AnsweringPeer() {
  loopback::shutdownBoth(listener_);  // ends the accept loop
  acceptor_.join();
  for (loopback::Socket client : clients_) loopback::shutdownBoth(client);
  for (std::thread& answerer : answerers_) answerer.join();
  for (loopback::Socket client : clients_) loopback::closeSocket(client);
  loopback::closeSocket(listener_);
}

void AnsweringPeer::acceptClients() {
  if (onThreadStart_) onThreadStart_();
  for (;;) {
    const loopback::Socket client = loopback::acceptClient(listener_);
    if (client == loopback::kNoSocket) return;
    clients_.push_back(client);
    answerers_.emplace_back([this, client] {
      if (onThreadStart_) onThreadStart_();
      std::uint8_t password[proto::PASSWORD_BLOCK_SIZE];
      const Bytes welcome = loginAnswer("quick-peer");
      if (!loopback::receiveAll(client, password, sizeof password) ||
          !loopback::sendAll(client, welcome.data(), welcome.size())) {
        return;
      }
      answerCommands(client, Answers{fileSize_, &listing_});
    });
  }
}

}  // namespace korvex::test
