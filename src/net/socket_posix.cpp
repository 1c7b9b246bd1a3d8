#include "net/socket.h"
#include "runtime/platform.h"

#include <algorithm>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

namespace korvex::sys {
namespace {

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

bool waitFor(SocketHandle socket, short events, int ms) {
  pollfd entry{static_cast<int>(socket), events, 0};
  int result;
  do {
    result = ::poll(&entry, 1, ms < 0 ? -1 : ms);
  } while (result < 0 && errno == EINTR);
  return result > 0 && (entry.revents & (events | POLLERR | POLLHUP)) != 0;
}

}  // namespace

SocketHandle createTcpSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

bool connectTo(SocketHandle socket, const Ipv4Endpoint& peer) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(peer.port);
  std::memcpy(&address.sin_addr, peer.address.data(), 4);
  int result;
  do {
    result = ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (result < 0 && errno == EINTR);
  return result == 0;
}

bool setNonBlocking(SocketHandle socket, bool nonBlocking) {
  const int flags = ::fcntl(socket, F_GETFL, 0);
  if (flags < 0) return false;
  const int wanted = nonBlocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
  return ::fcntl(socket, F_SETFL, wanted) == 0;
}

bool setNoDelay(SocketHandle socket) {
  const int on = 1;
  return ::setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

void shutdownBoth(SocketHandle socket) { ::shutdown(socket, SHUT_RDWR); }

void closeSocket(SocketHandle socket) { ::close(socket); }

IoResult receiveNow(SocketHandle socket, void* buffer, std::size_t size) {
  const ssize_t n = ::recv(socket, buffer, size, MSG_DONTWAIT);
  if (n > 0) return {IoStatus::Done, static_cast<std::size_t>(n)};
  if (n == 0) return {IoStatus::Closed, 0};
  return {wouldBlock(errno) ? IoStatus::WouldBlock : IoStatus::Failed, 0};
}

IoResult receiveWaiting(SocketHandle socket, void* buffer, std::size_t size) {
  ssize_t n;
  do {
    n = ::recv(socket, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  if (n > 0) return {IoStatus::Done, static_cast<std::size_t>(n)};
  if (n == 0) return {IoStatus::Closed, 0};
  return {errno == EAGAIN || errno == EWOULDBLOCK ? IoStatus::WouldBlock : IoStatus::Failed, 0};
}

bool setReceiveTimeout(SocketHandle socket, int ms) {
  timeval limit{};
  limit.tv_sec = ms / 1000;
  limit.tv_usec = (ms % 1000) * 1000;
  return ms > 0 && ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0;
}

IoResult sendNow(SocketHandle socket, const ConstBuffer* parts, std::size_t count, bool moreFollows) {
  iovec vectors[kMaxSendParts];
  count = std::min(count, kMaxSendParts);
  for (std::size_t i = 0; i < count; ++i) vectors[i] = {const_cast<void*>(parts[i].data), parts[i].size};
  msghdr message{};
  message.msg_iov = vectors;
  message.msg_iovlen = count;
  const int flags = MSG_DONTWAIT | MSG_NOSIGNAL | (moreFollows ? MSG_MORE : 0);
  const ssize_t n = ::sendmsg(static_cast<int>(socket), &message, flags);
  if (n >= 0) return {IoStatus::Done, static_cast<std::size_t>(n)};
  return {wouldBlock(errno) ? IoStatus::WouldBlock : IoStatus::Failed, 0};
}

bool waitReadable(SocketHandle socket, int ms) { return waitFor(socket, POLLIN, ms); }

bool waitWritable(SocketHandle socket, int ms) { return waitFor(socket, POLLOUT, ms); }

bool resolveIpv4(const std::string& host, std::array<std::uint8_t, 4>& out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  std::memcpy(out.data(), &address->sin_addr, 4);
  ::freeaddrinfo(found);
  return true;
}

int lastSocketError() { return errno; }

std::string socketErrorText(int error) { return platform::errorText(error); }

}  // namespace korvex::sys
