// The listing stream as a peer sends it: reply header, count and name
// records, cut anywhere and delivered in pieces. The first input byte sets
// the piece size (1..256 bytes); the rest is what the peer sends.
//
// The result must be what the bytes say: -1 unless a whole header with
// status 0, the count and every record arrived; otherwise the names joined
// with '/' (0 when that makes at most one character). A refusal leaves the
// connection open, any other failure closes it: a late record must never be
// read as the next reply.
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "net/connection.h"
#include "session/exchange.h"
#include "session/listing.h"
#include "protocol.h"

namespace {

namespace proto = korvex::protocol;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// What the peer's bytes mean, worked out independently of the library.
struct Expected {
  int result = -1;
  std::string names;
  bool staysOpen = false;
};

Expected expected(const std::uint8_t* data, std::size_t size) {
  Expected e;
  if (size < proto::REPLY_HEADER_SIZE) return e;
  if (proto::getWord(data) != 0) {
    e.staysOpen = true;  // a refusal: nothing follows it
    return e;
  }
  if (size < proto::REPLY_HEADER_SIZE + proto::LIST_COUNT_SIZE) return e;
  const std::uint64_t count = proto::getWord(data + proto::REPLY_HEADER_SIZE);
  const std::size_t start = proto::REPLY_HEADER_SIZE + proto::LIST_COUNT_SIZE;
  if ((size - start) / proto::NAME_RECORD_SIZE < count) return e;
  std::string joined;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint8_t* record = data + start + i * proto::NAME_RECORD_SIZE;
    const void* nul = std::memchr(record, 0, proto::NAME_RECORD_SIZE);
    const std::size_t length =
        nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - record) : proto::NAME_RECORD_SIZE - 1;
    joined.append(reinterpret_cast<const char*>(record), length);
    joined.push_back('/');
  }
  e.staysOpen = true;
  e.result = joined.size() <= 1 ? 0 : static_cast<int>(joined.size());
  if (e.result > 0) e.names = joined;
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t piece = static_cast<std::size_t>(data[0]) + 1;
  const std::uint8_t* stream = data + 1;
  const std::size_t length = size - 1;

  int pair[2];
  check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
  // The peer watches the client's queue through its own descriptor, which
  // stays valid whenever the connection closes.
  const int watch = ::dup(pair[0]);
  korvex::Connection connection;
  connection.adopt(pair[0], true);
  connection.setTimeout(1000);  // every byte comes, then the end: only a bug waits

  // The peer hands over one piece at a time and waits until the client has
  // taken it, so each receive sees at most one piece.
  std::atomic<bool> done{false};
  std::thread peer([&] {
    for (std::size_t sent = 0; sent < length && !done;) {
      const std::size_t n = std::min(piece, length - sent);
      if (::send(pair[1], stream + sent, n, MSG_NOSIGNAL | MSG_DONTWAIT) != static_cast<ssize_t>(n)) break;
      sent += n;
      for (int queued = 1; queued > 0 && !done;) {
        if (::ioctl(watch, FIONREAD, &queued) != 0) break;
        if (queued > 0) std::this_thread::yield();
      }
    }
    ::shutdown(pair[1], SHUT_WR);
  });

  char* out = nullptr;
  korvex::Exchange exchange(connection);
  const int result = korvex::listing::receiveNames(exchange, proto::CMD_LIST_FILES, "/dir", &out);
  done = true;
  peer.join();
  ::close(watch);

  const Expected want = expected(stream, length);
  check(result == want.result, "result differs from what the bytes say");
  if (result > 0) {
    check(out != nullptr && std::strlen(out) == static_cast<std::size_t>(result), "buffer length");
    check(want.names == out, "names differ from the records");
  } else {
    check(out == nullptr, "a buffer was stored on failure or for no names");
  }
  check(connection.live() == want.staysOpen, "connection open after a broken stream, or closed after a whole one");
  std::free(out);
  connection.close();
  ::close(pair[1]);
  return 0;
}
