// The system's socket calls, behind the few operations the transport needs.
// One implementation per platform: socket_posix.cpp, socket_win32.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace korvex::sys {

// A descriptor on POSIX systems; on Windows the address of the socket
// layer's record for one SOCKET (see socket_win32.cpp).
using SocketHandle = std::intptr_t;
constexpr SocketHandle kNoSocket = -1;

struct Ipv4Endpoint {
  std::array<std::uint8_t, 4> address{};  // network order
  std::uint16_t port = 0;                  // host order
};

// Result of a receive or send that did not transfer bytes.
enum class IoStatus { Done, WouldBlock, Closed, Failed };

// The most parts one send takes.
constexpr std::size_t kMaxSendParts = 4;

struct ConstBuffer {
  const void* data;
  std::size_t size;
};

struct IoResult {
  IoStatus status;
  std::size_t count;
};

SocketHandle createTcpSocket();
bool connectTo(SocketHandle socket, const Ipv4Endpoint& peer);
bool setNonBlocking(SocketHandle socket, bool nonBlocking);
// Sends leave at once; senders mark what is followed by more instead.
bool setNoDelay(SocketHandle socket);
void shutdownBoth(SocketHandle socket);
void closeSocket(SocketHandle socket);

// Neither call blocks; a peer that closed yields Closed, never a signal.
IoResult receiveNow(SocketHandle socket, void* buffer, std::size_t size);
// Blocks until data arrives or the receive time-out set with
// setReceiveTimeout passes (WouldBlock). A shutdown of the socket from
// another thread ends the wait at once.
IoResult receiveWaiting(SocketHandle socket, void* buffer, std::size_t size);
// The longest a blocking receive waits, in milliseconds (> 0).
bool setReceiveTimeout(SocketHandle socket, int ms);
// Sends the parts in order, as much as the socket takes now. `moreFollows`
// lets the system hold a short tail until the next send fills the segment.
IoResult sendNow(SocketHandle socket, const ConstBuffer* parts, std::size_t count, bool moreFollows);

// True when the socket is readable (or writable), or has an error or hang-up
// that the next call will report; false on time-out. ms < 0 waits forever.
bool waitReadable(SocketHandle socket, int ms);
bool waitWritable(SocketHandle socket, int ms);

// The first IPv4 address of a host name.
bool resolveIpv4(const std::string& host, std::array<std::uint8_t, 4>& out);

// The error of the last failed socket call on this thread, and the system's
// text for it. Socket errors are not errno values everywhere: on Windows
// they come from WSAGetLastError() and strerror() knows none of them.
int lastSocketError();
std::string socketErrorText(int error);

}  // namespace korvex::sys
