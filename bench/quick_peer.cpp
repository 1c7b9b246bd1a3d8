#include "quick_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "common.h"
#include "session/protocol.h"

namespace korvex::bench {

namespace proto = korvex::protocol;

QuickPeer::QuickPeer(std::uint32_t names, int cpu) {
  listing_.resize(proto::REPLY_HEADER_SIZE + proto::LIST_COUNT_SIZE +
                  static_cast<std::size_t>(names) * proto::NAME_RECORD_SIZE);
  proto::putWord(listing_.data() + proto::REPLY_HEADER_SIZE, names);
  for (std::uint32_t i = 0; i < names; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "entry_%05u_recorded_clip.mp4", i);
    const proto::NameRecord record = proto::encodeName(name);
    std::memcpy(listing_.data() + proto::REPLY_HEADER_SIZE + proto::LIST_COUNT_SIZE +
                    static_cast<std::size_t>(i) * proto::NAME_RECORD_SIZE,
                record.data(), record.size());
  }

  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 64) != 0 || ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("quick peer");
    return;
  }
  port_ = ntohs(address.sin_port);
  std::thread([this, cpu] {
    if (cpu >= 0) pinThread(0, cpu);  // connection threads inherit it
    acceptLoop();
  }).detach();
}

QuickPeer::~QuickPeer() {
  // Wakes the accept loop; connection threads end when their client closes.
  if (listenFd_ >= 0) ::shutdown(listenFd_, SHUT_RDWR);
}

void QuickPeer::acceptLoop() {
  for (;;) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    std::thread([this, fd] { serve(fd); }).detach();
  }
}

void QuickPeer::serve(int fd) {
  proto::PasswordBlock password;
  std::uint8_t welcome[proto::LOGIN_REPLY_SIZE + proto::DEVICE_NAME_SIZE] = {};
  const proto::DeviceNameBlock name = proto::encodeDeviceName("quick-peer");
  std::memcpy(welcome + proto::LOGIN_REPLY_SIZE, name.data(), name.size());
  if (!recvAll(fd, password.data(), password.size()) || !sendAll(fd, welcome, sizeof welcome)) {
    ::close(fd);
    return;
  }
  std::uint8_t block[proto::MAX_BLOCK_SIZE];
  for (;;) {
    std::uint8_t codeBytes[proto::CODE_SIZE];
    if (!recvAll(fd, codeBytes, sizeof codeBytes)) break;
    const std::uint32_t code = proto::getWord(codeBytes);
    if (code > proto::kLastCommandCode) break;
    const int blockSize = proto::requestBlockSize(code);
    if (blockSize > 0 && !recvAll(fd, block, static_cast<std::size_t>(blockSize))) break;
    bool ok = true;
    switch (code) {
      case proto::CMD_LIST_FILES:
      case proto::CMD_LIST_DIRS: ok = sendAll(fd, listing_.data(), listing_.size()); break;
      case proto::CMD_EXISTS:
      case proto::CMD_IS_DIR: {
        const proto::ReplyBytes reply = proto::encodeReply(1, 0);
        ok = sendAll(fd, reply.data(), reply.size());
        break;
      }
      case proto::CMD_SPACE_SIZE: {
        std::uint8_t word[proto::SPACE_REPLY_SIZE] = {};
        ok = sendAll(fd, word, sizeof word);
        break;
      }
      case proto::CMD_DOWNLOAD:
      case proto::CMD_UPLOAD: {
        // Not served here: refused, so the client's stream stays in step.
        const proto::ReplyBytes reply = proto::encodeReply(1, 0);
        ok = sendAll(fd, reply.data(), reply.size());
        break;
      }
      default: {
        const proto::ReplyBytes reply = proto::encodeReply(0, code == proto::CMD_FILE_SIZE ? kFileSize : 0);
        ok = sendAll(fd, reply.data(), reply.size());
      }
    }
    if (!ok) break;
  }
  ::close(fd);
}

}  // namespace korvex::bench
