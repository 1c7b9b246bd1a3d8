#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "socket_io.h"

namespace korvex::test::loopback {
namespace {

int fdOf(Socket socket) { return static_cast<int>(socket); }

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

bool waitFor(Socket socket, short events, int ms) {
  pollfd entry{fdOf(socket), events, 0};
  for (;;) {
    const int ready = ::poll(&entry, 1, ms);
    if (ready >= 0 || errno != EINTR) return ready > 0;
  }
}

IoResult failure() {
  if (errno == EAGAIN || errno == EWOULDBLOCK) return {Io::WouldBlock, 0};
  if (errno == ECONNRESET || errno == EPIPE) return {Io::Closed, 0};
  return {Io::Failed, 0};
}

}  // namespace

Socket listenLoopback(int backlog, std::uint16_t& port) { return listenLoopbackAt(backlog, 0, port); }

Socket listenLoopbackAt(int backlog, std::uint16_t wanted, std::uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(wanted);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) ::close(fd);
    return kNoSocket;
  }
  port = ntohs(address.sin_port);
  return fd;
}

Socket connectLoopback(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return kNoSocket;
  const sockaddr_in address = loopback(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return kNoSocket;
  }
  return fd;
}

void sendAtOnce(Socket socket) {
  const int on = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool localPair(Socket& first, Socket& second) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
  first = ends[0];
  second = ends[1];
  return true;
}

Socket acceptClient(Socket listener) {
  for (;;) {
    const int fd = ::accept4(fdOf(listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return fd;
    if (errno != EINTR && errno != ECONNABORTED) return kNoSocket;
  }
}

void shutdownBoth(Socket socket) {
  if (socket != kNoSocket) ::shutdown(fdOf(socket), SHUT_RDWR);
}

void closeSocket(Socket socket) {
  if (socket != kNoSocket) ::close(fdOf(socket));
}

bool waitReadable(Socket socket, int ms) { return waitFor(socket, POLLIN, ms); }
bool waitWritable(Socket socket, int ms) { return waitFor(socket, POLLOUT, ms); }

IoResult receiveSome(Socket socket, void* data, std::size_t size) {
  for (;;) {
    const ssize_t n = ::recv(fdOf(socket), data, size, 0);
    if (n > 0) return {Io::Done, static_cast<std::size_t>(n)};
    if (n == 0) return {Io::Closed, 0};
    if (errno != EINTR) return failure();
  }
}

IoResult sendSome(Socket socket, const void* data, std::size_t size, bool mayBlock) {
  const int flags = MSG_NOSIGNAL | (mayBlock ? 0 : MSG_DONTWAIT);
  for (;;) {
    const ssize_t n = ::send(fdOf(socket), data, size, flags);
    if (n > 0) return {Io::Done, static_cast<std::size_t>(n)};
    if (n == 0) return {Io::Failed, 0};
    if (errno != EINTR) return failure();
  }
}

}  // namespace korvex::test::loopback
