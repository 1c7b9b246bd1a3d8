#include "hostile_phone.h"

#include <algorithm>
#include <stdexcept>

#include "bytes.h"
#include "protocol.h"

namespace korvex::test {

namespace proto = korvex::protocol;

HostilePhone::HostilePhone(std::map<std::string, Directory> directories, std::map<std::string, File> files,
                           std::string deviceName)
    : directories_(std::move(directories)), files_(std::move(files)), deviceName_(std::move(deviceName)) {
  listener_ = loopback::listenLoopback(64, port_);
  if (listener_ == loopback::kNoSocket) throw std::runtime_error("the hostile phone cannot listen");
  acceptor_ = std::thread([this] { acceptClients(); });
}

HostilePhone::~HostilePhone() {
  loopback::shutdownBoth(listener_);  // ends the accept loop
  acceptor_.join();
  for (loopback::Socket client : clients_) loopback::shutdownBoth(client);
  for (std::thread& server : servers_) server.join();
  for (loopback::Socket client : clients_) loopback::closeSocket(client);
  loopback::closeSocket(listener_);
}

void HostilePhone::acceptClients() {
  for (;;) {
    const loopback::Socket client = loopback::acceptClient(listener_);
    if (client == loopback::kNoSocket) return;
    std::lock_guard<std::mutex> hold(clientsLock_);
    clients_.push_back(client);
    servers_.emplace_back([this, client] { serve(client); });
  }
}

// One connection: the login, then commands until the client goes or a
// download is broken off.
void HostilePhone::serve(loopback::Socket client) {
  std::uint8_t password[proto::PASSWORD_BLOCK_SIZE];
  const Bytes welcome = loginAnswer(deviceName_);
  if (!loopback::receiveAll(client, password, sizeof password) ||
      !loopback::sendAll(client, welcome.data(), welcome.size())) {
    return;
  }
  auto send = [&](const Bytes& bytes) { return loopback::sendAll(client, bytes.data(), bytes.size()); };
  std::uint8_t block[proto::MAX_BLOCK_SIZE];
  for (;;) {
    std::uint8_t codeBytes[proto::CODE_SIZE];
    if (!loopback::receiveAll(client, codeBytes, sizeof codeBytes)) return;
    const std::uint32_t code = proto::getWord(codeBytes);
    const int blockSize = proto::requestBlockSize(code);
    if (blockSize > 0 && !loopback::receiveAll(client, block, static_cast<std::size_t>(blockSize))) return;
    const std::string path(proto::fieldText(block, proto::PATH_FIELD_SIZE));
    const auto directory = directories_.find(path);
    const auto file = files_.find(path);
    const bool isDirectory = directory != directories_.end(), isFile = file != files_.end();
    bool sent = false;
    switch (code) {
      case proto::CMD_KEEPALIVE:
        sent = send(reply(0));
        break;
      case proto::CMD_EXISTS:
        sent = send(reply(isDirectory || isFile ? 1 : 0));
        break;
      case proto::CMD_IS_DIR:
        sent = send(reply(isDirectory ? 1 : 0));
        break;
      case proto::CMD_FILE_SIZE:
        sent = send(isFile ? reply(0, static_cast<std::uint32_t>(file->second.content.size())) : reply(1));
        break;
      case proto::CMD_LIST_FILES:
      case proto::CMD_LIST_DIRS: {
        if (!isDirectory) {
          sent = send(reply(1));
          break;
        }
        const auto& names = code == proto::CMD_LIST_DIRS ? directory->second.directories : directory->second.files;
        Bytes listing = concat({reply(0), word(static_cast<std::uint32_t>(names.size()))});
        for (const std::string& name : names) {
          const proto::NameRecord record = proto::encodeName(name);
          listing.insert(listing.end(), record.begin(), record.end());
        }
        sent = send(listing);
        break;
      }
      case proto::CMD_DOWNLOAD: {
        if (!isFile) {
          sent = send(reply(1));
          break;
        }
        const File& served = file->second;
        const std::string& content = served.content;
        const std::size_t count = std::min(served.cutAfter, content.size());
        sent = send(concat({reply(0, static_cast<std::uint32_t>(content.size())), text(content.substr(0, count))}));
        if (count < content.size()) {
          loopback::shutdownBoth(client);  // broken off; the destructor closes the socket
          return;
        }
        break;
      }
      case proto::CMD_SPACE_SIZE:
        sent = send(word(0));
        break;
      default:
        sent = send(reply(1));
    }
    if (!sent) return;
  }
}

}  // namespace korvex::test
