#include <winsock2.h>
#include <ws2tcpip.h>

#include "socket_io.h"

namespace korvex::test::loopback {
namespace {

SOCKET handleOf(Socket socket) { return static_cast<SOCKET>(socket); }

// Winsock refuses every call until a process has started it.
struct WinsockStarted {
  WinsockStarted() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
};
void startWinsock() { static const WinsockStarted started; }

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

Socket newSocket() {
  startWinsock();
  const SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  return s == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(s);
}

bool waitFor(Socket socket, short events, int ms) {
  WSAPOLLFD entry{handleOf(socket), events, 0};
  return ::WSAPoll(&entry, 1, ms) > 0;
}

IoResult failure() {
  const int error = ::WSAGetLastError();
  if (error == WSAEWOULDBLOCK) return {Io::WouldBlock, 0};
  if (error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAESHUTDOWN) return {Io::Closed, 0};
  return {Io::Failed, 0};
}

int clamp(std::size_t size) { return size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size); }

}  // namespace

Socket listenLoopback(int backlog, std::uint16_t& port) { return listenLoopbackAt(backlog, 0, port); }

Socket listenLoopbackAt(int backlog, std::uint16_t wanted, std::uint16_t& port) {
  const Socket s = newSocket();
  sockaddr_in address = loopback(wanted);
  int length = sizeof address;
  if (s == kNoSocket || ::bind(handleOf(s), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(handleOf(s), backlog) != 0 ||
      ::getsockname(handleOf(s), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    closeSocket(s);
    return kNoSocket;
  }
  port = ntohs(address.sin_port);
  return s;
}

Socket connectLoopback(std::uint16_t port) {
  const Socket s = newSocket();
  if (s == kNoSocket) return kNoSocket;
  const sockaddr_in address = loopback(port);
  if (::connect(handleOf(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    closeSocket(s);
    return kNoSocket;
  }
  return s;
}

void sendAtOnce(Socket socket) {
  const BOOL on = TRUE;
  ::setsockopt(handleOf(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

bool localPair(Socket&, Socket&) { return false; }

Socket acceptClient(Socket listener) {
  for (;;) {
    const SOCKET s = ::accept(handleOf(listener), nullptr, nullptr);
    if (s != INVALID_SOCKET) return static_cast<Socket>(s);
    if (::WSAGetLastError() != WSAECONNRESET) return kNoSocket;
  }
}

void shutdownBoth(Socket socket) {
  if (socket != kNoSocket) ::shutdown(handleOf(socket), SD_BOTH);
}

void closeSocket(Socket socket) {
  if (socket != kNoSocket) ::closesocket(handleOf(socket));
}

bool waitReadable(Socket socket, int ms) { return waitFor(socket, POLLRDNORM, ms); }
bool waitWritable(Socket socket, int ms) { return waitFor(socket, POLLWRNORM, ms); }

IoResult receiveSome(Socket socket, void* data, std::size_t size) {
  const int n = ::recv(handleOf(socket), static_cast<char*>(data), clamp(size), 0);
  if (n > 0) return {Io::Done, static_cast<std::size_t>(n)};
  if (n == 0) return {Io::Closed, 0};
  return failure();
}

// A send that may not block switches the socket to non-blocking for the
// call: Winsock has no per-call flag for it.
IoResult sendSome(Socket socket, const void* data, std::size_t size, bool mayBlock) {
  u_long nonBlocking = mayBlock ? 0 : 1;
  if (!mayBlock) ::ioctlsocket(handleOf(socket), FIONBIO, &nonBlocking);
  const int n = ::send(handleOf(socket), static_cast<const char*>(data), clamp(size), 0);
  const IoResult result = n > 0 ? IoResult{Io::Done, static_cast<std::size_t>(n)}
                                : n == 0 ? IoResult{Io::Failed, 0} : failure();
  if (!mayBlock) {
    nonBlocking = 0;
    ::ioctlsocket(handleOf(socket), FIONBIO, &nonBlocking);
  }
  return result;
}

}  // namespace korvex::test::loopback
