#include "net/connection.h"

#include <algorithm>

#include "runtime/immortal.h"
#include "runtime/log.h"
#include "runtime/platform.h"

namespace korvex {

namespace {

// Replies of this size or less are waited for before the first receive.
constexpr int kShortReply = 64;

// The socket's own receive time-out counts whole clock ticks (4 ms at 250 Hz,
// 15.6 ms on Windows), so a shorter wait would last several times its length;
// such a wait is polled instead.
constexpr int kShortestSocketTimeoutMs = 100;

// Guards every Connection's share count and the copying of its members.
// Constant-initialised and never destroyed: a session's thread may copy or
// close a connection while the process exits.
constinit Immortal<PlainMutex> connectionMutex;
constinit PlainMutex& connectionLock = connectionMutex.value;

}  // namespace

// The socket shared by every copy. `shares` is the number of live copies
// (guarded by connectionLock); `uses` counts live copies plus operations in
// flight, and the descriptor is released when it reaches zero, so no thread
// ever passes a released (and possibly reused) descriptor number to the system.
struct Connection::Share {
  sys::SocketHandle socket;
  int shares = 1;
  std::atomic<int> uses{1};
  // The wait a blocking receive on the socket ends after (0: none set), so
  // a reply can be awaited by the receive itself instead of a poll first.
  std::atomic<int> receiveTimeout{0};
};

class Connection::Use {
 public:
  explicit Use(Connection& connection) : share_(connection.acquire()) {}
  ~Use() {
    if (share_) releaseUse(share_);
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

  explicit operator bool() const { return share_ != nullptr; }
  sys::SocketHandle socket() const { return share_->socket; }
  Share& share() const { return *share_; }

 private:
  Share* share_;
};

Connection::Connection(const Connection& other) { *this = other; }

Connection::~Connection() { close(); }

Connection& Connection::operator=(const Connection& other) {
  if (this == &other) return *this;
  if (live()) close();
  LockHelper lock(connectionLock);
  Share* share;
  {
    LockHelper use(const_cast<Connection&>(other).useLock_);
    share = other.share_;
    if (share) {
      ++share->shares;
      share->uses.fetch_add(1);
    }
  }
  {
    LockHelper use(useLock_);
    share_ = share;
  }
  blocking_ = other.blocking_;
  timeout_ = other.timeout_;
  live_.store(share != nullptr && other.live());
  return *this;
}

void Connection::close() {
  Share* share;
  {
    LockHelper use(useLock_);
    if (!live_.exchange(false)) return;
    share = share_;
    share_ = nullptr;
  }
  if (share == nullptr) return;
  {
    LockHelper lock(connectionLock);
    // Waking a pending wait is only right when no other copy still uses the socket.
    if (--share->shares == 0) sys::shutdownBoth(share->socket);
  }
  releaseUse(share);
}

void Connection::releaseUse(Share* share) {
  if (share->uses.fetch_sub(1) == 1) {
    sys::closeSocket(share->socket);
    delete share;
  }
}

Connection::Share* Connection::acquire() {
  LockHelper use(useLock_);
  if (!live_.load() || share_ == nullptr) return nullptr;
  share_->uses.fetch_add(1);
  return share_;
}

int Connection::shareCount() const {
  LockHelper lock(connectionLock);
  LockHelper use(const_cast<Connection*>(this)->useLock_);
  return share_ ? share_->shares : 0;
}

void Connection::adopt(sys::SocketHandle socket, bool blocking) {
  if (live()) close();
  blocking_ = blocking;
  Share* share = new Share{socket};
  {
    LockHelper lock(connectionLock);
    LockHelper use(useLock_);
    share_ = share;
  }
  live_.store(true);
  applyBlocking(*share);
}

void Connection::applyBlocking(Share& share) {
  if (!blocking_) share.receiveTimeout.store(0);
  if (!sys::setNonBlocking(share.socket, !blocking_)) {
    const int error = sys::lastSocketError();
    logPrint(ERR, "Error setting Connection FIONBIO: %s", sys::socketErrorText(error).c_str());
  }
}

void Connection::setTimeout(int ms) {
  timeout_ = ms;
  Use use(*this);
  if (!use) return;
  // Only a blocking socket waits in its receive; otherwise polls do.
  const bool applied = blocking_ && ms >= kShortestSocketTimeoutMs && sys::setReceiveTimeout(use.socket(), ms);
  use.share().receiveTimeout.store(applied ? ms : 0);
}

Connection::Received Connection::takeQueued(Share& share, void* buffer, int size) {
  const sys::IoResult r = sys::receiveNow(share.socket, buffer, static_cast<std::size_t>(size));
  if (r.status == sys::IoStatus::Done) return {Complete, static_cast<int>(r.count)};
  return {r.status == sys::IoStatus::WouldBlock ? TimedOut : Closed, 0};
}

Connection::Received Connection::waitThenTake(Share& share, void* buffer, int size, int wait) {
  for (;;) {
    if (!sys::waitReadable(share.socket, wait)) return {TimedOut, 0};
    const Received r = takeQueued(share, buffer, size);
    // A bounded wait is spent; only an unbounded one may go round again.
    if (r.result != TimedOut || wait >= 0) return r;
  }
}

Connection::Received Connection::receiveAwaited(Share& share, void* buffer, int size, int wait) {
  // When the socket's own receive time-out is this wait, the receive itself
  // waits: one system call instead of a poll and a receive.
  if (wait > 0 && share.receiveTimeout.load(std::memory_order_relaxed) == wait) {
    const sys::IoResult r = sys::receiveWaiting(share.socket, buffer, static_cast<std::size_t>(size));
    if (r.status == sys::IoStatus::Done) return {Complete, static_cast<int>(r.count)};
    return {r.status == sys::IoStatus::WouldBlock ? TimedOut : Closed, 0};
  }
  return waitThenTake(share, buffer, size, wait);
}

Connection::ReadResult Connection::readExactly(void* buffer, int size, int* got, int ms) {
  if (!live()) return Closed;
  *got = 0;
  Use use(*this);
  if (!use) return Closed;
  const int wait = effectiveTimeout(ms);
  auto* at = static_cast<char*>(buffer);
  // Whatever is missing after a first receive has not arrived yet either.
  for (bool awaited = size <= kShortReply; size > 0; awaited = true) {
    Received r = awaited ? receiveAwaited(use.share(), at, size, wait) : takeQueued(use.share(), at, size);
    if (!awaited && r.result == TimedOut) r = waitThenTake(use.share(), at, size, wait);
    if (r.result != Complete) return r.result;
    *got += r.count;
    at += r.count;
    size -= r.count;
  }
  return Complete;
}

Connection::ReadResult Connection::readSome(void* buffer, int size, int* got, int ms) {
  *got = 0;
  if (!live()) return Closed;
  if (size <= 0) return Complete;
  Use use(*this);
  if (!use) return Closed;
  Received r = takeQueued(use.share(), buffer, size);
  if (r.result == TimedOut) r = receiveAwaited(use.share(), buffer, size, effectiveTimeout(ms));
  if (r.result == Complete) *got = r.count;
  return r.result;
}

int Connection::writeAll(const void* buffer, int len, int ms, bool moreFollows) {
  const sys::ConstBuffer part{buffer, len > 0 ? static_cast<std::size_t>(len) : 0};
  return writeAll(std::span(&part, 1), ms, moreFollows);
}

int Connection::writeNow(const void* buffer, int len) {
  if (!live()) return -1;
  if (len <= 0) return 0;
  Use use(*this);
  if (!use) return -1;
  const sys::ConstBuffer part{buffer, static_cast<std::size_t>(len)};
  const sys::IoResult r = sys::sendNow(use.socket(), &part, 1, false);
  if (r.status == sys::IoStatus::Done) return static_cast<int>(r.count);
  return r.status == sys::IoStatus::WouldBlock ? 0 : -1;
}

int Connection::writeAll(std::span<const sys::ConstBuffer> parts, int ms, bool moreFollows) {
  if (!live()) return -1;
  std::size_t len = 0;
  for (const sys::ConstBuffer& part : parts) len += part.size;
  if (len == 0) return 0;
  Use use(*this);
  if (!use) return -1;
  const int wait = effectiveTimeout(ms);
  sys::ConstBuffer left[sys::kMaxSendParts];
  std::size_t first = 0;
  const std::size_t count = std::min(parts.size(), sys::kMaxSendParts);
  std::copy_n(parts.begin(), count, left);
  std::size_t sent = 0;
  while (sent < len) {
    const sys::IoResult r = sys::sendNow(use.socket(), left + first, count - first, moreFollows);
    if (r.status == sys::IoStatus::Done) {
      sent += r.count;
      // Drop what went out from the front of the parts.
      for (std::size_t n = r.count; n > 0 && first < count;) {
        const std::size_t taken = std::min(n, left[first].size);
        left[first].data = static_cast<const char*>(left[first].data) + taken;
        left[first].size -= taken;
        n -= taken;
        if (left[first].size == 0) ++first;
      }
    } else if (r.status == sys::IoStatus::WouldBlock) {
      if (!sys::waitWritable(use.socket(), wait)) return static_cast<int>(sent);
    } else {
      return sent == 0 ? -1 : static_cast<int>(sent);
    }
  }
  return static_cast<int>(sent);
}

}  // namespace korvex
