#include "stream_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

void require(bool ok, const char* what) {
  if (!ok) {
    std::perror(what);
    std::abort();
  }
}

}  // namespace

StreamPeer::StreamPeer() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  require(listener_ >= 0 && ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              ::listen(listener_, 64) == 0 &&
              ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0,
          "peer listener");
  address_ = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  require(::pipe2(control_, O_CLOEXEC) == 0 && ::pipe2(done_, O_CLOEXEC) == 0, "peer pipes");
  thread_ = std::thread([this] { run(); });
}

void StreamPeer::begin(std::vector<Stream> streams) {
  std::lock_guard hold(lock_);
  streams_ = std::move(streams);
}

void StreamPeer::end() {
  char byte = 'x';
  require(::write(control_[1], &byte, 1) == 1, "peer control");
  require(::read(done_[0], &byte, 1) == 1, "peer done");
}

void StreamPeer::run() {
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {control_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[0].revents) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) serve(fd);
    }
    if (fds[1].revents) {
      char byte;
      require(::read(control_[0], &byte, 1) == 1, "peer control");
      closeAll();
      require(::write(done_[1], &byte, 1) == 1, "peer done");
    }
  }
}

void StreamPeer::serve(int fd) {
  std::lock_guard hold(lock_);
  const std::size_t index = accepted_.size();
  accepted_.push_back(fd);
  if (index >= streams_.size()) return;
  const Stream& stream = streams_[index];
  if (!stream.bytes.empty()) {
    // One send: the input is far smaller than an unread loopback socket takes.
    require(::send(fd, stream.bytes.data(), stream.bytes.size(), MSG_NOSIGNAL) ==
                    static_cast<ssize_t>(stream.bytes.size()) ||
                errno == ECONNRESET || errno == EPIPE,
            "peer send");
  }
  if (!stream.thenSilence) ::shutdown(fd, SHUT_WR);
}

void StreamPeer::closeAll() {
  // Every client of the input has connected by now (its threads are joined),
  // so what the backlog still holds belongs to this input too.
  for (int fd; (fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) accepted_.push_back(fd);
  // The client's requests are still unread, so each close resets the
  // connection: neither side is left in TIME_WAIT, which thousands of
  // connections a second would otherwise fill the ports with.
  for (int fd : accepted_) ::close(fd);
  accepted_.clear();
}
