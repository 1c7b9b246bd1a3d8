// TCP on 127.0.0.1 for the support library and the benchmarks: the few
// socket calls they make, one implementation per platform
// (socket_posix.cpp, socket_win32.cpp). Nothing else in the support library includes a system
// socket header. Interrupted calls are retried inside.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvex::test::loopback {

// Wide enough for a descriptor and for a Winsock SOCKET.
using Socket = std::intptr_t;
constexpr Socket kNoSocket = -1;

// Listens on 127.0.0.1 at a port the system picks; kNoSocket on failure.
Socket listenLoopback(int backlog, std::uint16_t& port);
// The same at a chosen port (0: one the system picks).
Socket listenLoopbackAt(int backlog, std::uint16_t wanted, std::uint16_t& port);
// A connection to 127.0.0.1:port; kNoSocket when nothing accepts it.
Socket connectLoopback(std::uint16_t port);
// Small sends leave at once instead of waiting for the acknowledgement of
// what went before (no Nagle delay), as the library's do.
void sendAtOnce(Socket socket);
// Two connected local stream sockets. Unlike TCP, whose zero-window probes
// now and then find room after a socket looked full, a side has room
// exactly when the other side reads. Windows has no such pair: false there.
bool localPair(Socket& first, Socket& second);
// The next connection on a listener; kNoSocket when the call fails, as it
// does once the listener is shut down.
Socket acceptClient(Socket listener);
// Ends both directions; wakes a thread blocked on the socket in accept or receive.
void shutdownBoth(Socket socket);
void closeSocket(Socket socket);

// True when the next receive (send) will not block, or will report an error
// or hang-up; false at the time-out. ms < 0 waits forever.
bool waitReadable(Socket socket, int ms);
bool waitWritable(Socket socket, int ms);

// Closed: the peer closed or reset the connection. WouldBlock only from a
// send that may not block.
enum class Io { Done, WouldBlock, Closed, Failed };
struct IoResult {
  Io status;
  std::size_t count;  // bytes moved when Done
};

// One blocking receive of up to `size` bytes.
IoResult receiveSome(Socket socket, void* data, std::size_t size);
// One send; never raises a signal for a closed peer.
IoResult sendSome(Socket socket, const void* data, std::size_t size, bool mayBlock);

// Exactly `size` bytes with blocking calls; false when the peer closed or a
// call failed.
bool sendAll(Socket socket, const void* data, std::size_t size);
bool receiveAll(Socket socket, void* data, std::size_t size);

}  // namespace korvex::test::loopback
