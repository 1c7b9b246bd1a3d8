// The socket contract on Winsock 2.
//
// Windows has no way to end a wait in recv() or select() from another thread
// short of closing the socket, which could hand a released (and reusable)
// handle to a waiter. So a SocketHandle here is the address of a small record:
// the socket, kept non-blocking, and two events. Every wait blocks on the
// socket's network event and a wake event that shutdownBoth() sets; a
// "blocking" receive is a non-blocking one plus such a wait, bounded by the
// receive time-out. The record, and the socket in it, are released only by
// closeSocket(), which the transport calls once no operation uses it.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "net/socket.h"

namespace korvex::sys {
namespace {

struct WinSocket {
  SOCKET socket = INVALID_SOCKET;
  WSAEVENT ready = WSA_INVALID_EVENT;  // the socket's network events
  WSAEVENT wake = WSA_INVALID_EVENT;   // set once, by shutdownBoth
  std::atomic<bool> shut{false};
  std::atomic<bool> blocking{true};
  std::atomic<int> receiveTimeoutMs{0};  // 0: a blocking receive waits without limit
};

WinSocket* record(SocketHandle handle) { return reinterpret_cast<WinSocket*>(handle); }

bool wouldBlock(int error) { return error == WSAEWOULDBLOCK || error == WSAEINTR; }

// Whether the socket is readable (or writable) now, without waiting. One
// socket in a set: select has no descriptor-number limit on Windows.
bool readyNow(SOCKET socket, bool write) {
  fd_set wanted;
  fd_set errors;
  FD_ZERO(&wanted);
  FD_ZERO(&errors);
  FD_SET(socket, &wanted);
  FD_SET(socket, &errors);
  timeval zero{};
  const int n = ::select(0, write ? nullptr : &wanted, write ? &wanted : nullptr, &errors, &zero);
  return n != 0;  // an error is reported by the call that follows
}

// Waits until the socket is ready, shutdownBoth() ran, or `ms` passed
// (ms < 0: no limit).
bool waitFor(WinSocket& s, bool write, int ms) {
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    if (s.shut.load()) return true;
    // Reset before looking, so that an event arriving after the look is not
    // lost: recording a network event sets `ready` again.
    WSAResetEvent(s.ready);
    if (readyNow(s.socket, write)) return true;
    DWORD wait = WSA_INFINITE;
    if (ms >= 0) {
      const ULONGLONG spent = GetTickCount64() - start;
      if (spent >= static_cast<ULONGLONG>(ms)) return false;
      wait = static_cast<DWORD>(static_cast<ULONGLONG>(ms) - spent);
    }
    const WSAEVENT events[2] = {s.ready, s.wake};
    const DWORD r = WSAWaitForMultipleEvents(2, events, FALSE, wait, FALSE);
    if (r == WSA_WAIT_TIMEOUT) return false;
    if (r == WSA_WAIT_FAILED) return true;  // let the next call report it
  }
}

}  // namespace

SocketHandle createTcpSocket() {
  // Starting the socket library is counted and never undone; Wine, like
  // Windows, refuses socket() without it.
  WSADATA data;
  ::WSAStartup(MAKEWORD(1, 1), &data);
  auto* s = new (std::nothrow) WinSocket;
  if (s == nullptr) {
    ::WSASetLastError(WSA_NOT_ENOUGH_MEMORY);
    return kNoSocket;
  }
  s->socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s->socket == INVALID_SOCKET) {
    const int error = ::WSAGetLastError();
    delete s;
    ::WSASetLastError(error);
    return kNoSocket;
  }
  // Not inherited by processes the host starts.
  SetHandleInformation(reinterpret_cast<HANDLE>(s->socket), HANDLE_FLAG_INHERIT, 0);
  s->ready = ::WSACreateEvent();
  s->wake = ::WSACreateEvent();
  if (s->ready == WSA_INVALID_EVENT || s->wake == WSA_INVALID_EVENT) {
    const int error = ::WSAGetLastError();
    closeSocket(reinterpret_cast<SocketHandle>(s));
    ::WSASetLastError(error);
    return kNoSocket;
  }
  return reinterpret_cast<SocketHandle>(s);
}

bool connectTo(SocketHandle socket, const Ipv4Endpoint& peer) {
  WinSocket& s = *record(socket);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(peer.port);
  std::memcpy(&address.sin_addr, peer.address.data(), 4);
  if (::connect(s.socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return false;
  // From here on the socket itself never blocks: blocking calls are waits
  // on its events, which a shutdown from another thread can end.
  u_long on = 1;
  if (::ioctlsocket(s.socket, FIONBIO, &on) != 0) return false;
  return ::WSAEventSelect(s.socket, s.ready, FD_READ | FD_WRITE | FD_CLOSE) == 0;
}

bool setNonBlocking(SocketHandle socket, bool nonBlocking) {
  record(socket)->blocking.store(!nonBlocking);
  return true;
}

bool setNoDelay(SocketHandle socket) {
  const BOOL on = TRUE;
  return ::setsockopt(record(socket)->socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                      sizeof on) == 0;
}

void shutdownBoth(SocketHandle socket) {
  WinSocket& s = *record(socket);
  s.shut.store(true);
  ::shutdown(s.socket, SD_BOTH);
  ::WSASetEvent(s.wake);
}

void closeSocket(SocketHandle socket) {
  WinSocket* s = record(socket);
  if (s->socket != INVALID_SOCKET) ::closesocket(s->socket);
  if (s->ready != WSA_INVALID_EVENT) ::WSACloseEvent(s->ready);
  if (s->wake != WSA_INVALID_EVENT) ::WSACloseEvent(s->wake);
  delete s;
}

IoResult receiveNow(SocketHandle socket, void* buffer, std::size_t size) {
  WinSocket& s = *record(socket);
  // As after shutdown(2) elsewhere: the receiving side reads end of stream.
  if (s.shut.load()) return {IoStatus::Closed, 0};
  const int n = ::recv(s.socket, static_cast<char*>(buffer), static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
  if (n > 0) return {IoStatus::Done, static_cast<std::size_t>(n)};
  if (n == 0) return {IoStatus::Closed, 0};
  return {wouldBlock(::WSAGetLastError()) ? IoStatus::WouldBlock : IoStatus::Failed, 0};
}

IoResult receiveWaiting(SocketHandle socket, void* buffer, std::size_t size) {
  WinSocket& s = *record(socket);
  const int limit = s.receiveTimeoutMs.load();
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    const IoResult r = receiveNow(socket, buffer, size);
    if (r.status != IoStatus::WouldBlock) return r;
    int left = -1;
    if (limit > 0) {
      const ULONGLONG spent = GetTickCount64() - start;
      if (spent >= static_cast<ULONGLONG>(limit)) return r;
      left = static_cast<int>(limit - spent);
    }
    if (!waitFor(s, false, left)) return {IoStatus::WouldBlock, 0};
  }
}

bool setReceiveTimeout(SocketHandle socket, int ms) {
  if (ms <= 0) return false;
  record(socket)->receiveTimeoutMs.store(ms);
  return true;
}

// Winsock has no way to hold a short tail for the next send (no MSG_MORE):
// `moreFollows` is ignored, and each send leaves as it is.
IoResult sendNow(SocketHandle socket, const ConstBuffer* parts, std::size_t count, bool) {
  WinSocket& s = *record(socket);
  if (s.shut.load()) {
    ::WSASetLastError(WSAESHUTDOWN);
    return {IoStatus::Failed, 0};
  }
  WSABUF buffers[kMaxSendParts];
  count = std::min(count, kMaxSendParts);
  for (std::size_t i = 0; i < count; ++i) {
    buffers[i].buf = static_cast<char*>(const_cast<void*>(parts[i].data));
    buffers[i].len = static_cast<ULONG>(parts[i].size);
  }
  DWORD sent = 0;
  if (::WSASend(s.socket, buffers, static_cast<DWORD>(count), &sent, 0, nullptr, nullptr) == 0) {
    return {IoStatus::Done, sent};
  }
  return {wouldBlock(::WSAGetLastError()) ? IoStatus::WouldBlock : IoStatus::Failed, 0};
}

bool waitReadable(SocketHandle socket, int ms) { return waitFor(*record(socket), false, ms); }

bool waitWritable(SocketHandle socket, int ms) { return waitFor(*record(socket), true, ms); }

bool resolveIpv4(const std::string& host, std::array<std::uint8_t, 4>& out) {
  WSADATA data;
  ::WSAStartup(MAKEWORD(1, 1), &data);
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

int lastSocketError() { return ::WSAGetLastError(); }

std::string socketErrorText(int error) {
  char text[512];
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(error), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text,
                                 sizeof text, nullptr);
  std::string message(text, n);
  // System messages end in ".\r\n"; a log line has its own end.
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
    message.pop_back();
  }
  if (message.empty()) message = "Winsock error " + std::to_string(error);
  return message;
}

}  // namespace korvex::sys
