#include "net/connection.h"

#include <algorithm>

#include "runtime/log.h"
#include "runtime/platform.h"

namespace korvex {

namespace {

// Replies of this size or less are waited for before the first receive.
constexpr int kShortReply = 64;

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
  socket_ = other.socket_;
  blocking_ = other.blocking_;
  timeout_ = other.timeout_;
  peer_ = other.peer_;
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
  socket_ = sys::kNoSocket;
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

void Connection::adopt(sys::SocketHandle socket, const sys::Ipv4Endpoint& peer) {
  socket_ = socket;
  peer_ = peer;
}

void Connection::initShared() {
  LockHelper lock(connectionLock);
  {
    LockHelper use(useLock_);
    share_ = new Share{socket_};
  }
  live_.store(true);
  setBlocking(blocking_);
}

void Connection::setTimeout(int ms) {
  timeout_ = ms;
  Use use(*this);
  if (!use) return;
  // Only a blocking socket waits in its receive; otherwise polls do.
  const bool applied = blocking_ && sys::setReceiveTimeout(use.socket(), ms);
  use.share().receiveTimeout.store(applied ? ms : 0);
}

void Connection::setBlocking(bool blocking) {
  blocking_ = blocking;
  if (!blocking) {
    Use use(*this);
    if (use) use.share().receiveTimeout.store(0);
  }
  if (!sys::setNonBlocking(socket_, !blocking)) {
    const int error = platform::lastError();
    logPrint(ERR, "Error setting Connection FIONBIO: %s", platform::errorText(error).c_str());
  }
}

bool Connection::readReady(int ms) {
  Use use(*this);
  return use && sys::waitReadable(use.socket(), ms);
}

bool Connection::writeReady(int ms) {
  Use use(*this);
  return use && sys::waitWritable(use.socket(), ms);
}

int Connection::readOnce(void* buffer, int size, int ms) {
  Use use(*this);
  if (!use) return -1;
  return receiveSome(use.share(), buffer, size, effectiveTimeout(ms), false);
}

int Connection::receiveSome(Share& share, void* buffer, int size, int wait, bool pollFirst) {
  const sys::SocketHandle socket = share.socket;
  if (pollFirst) {
    if (wait > 0 && share.receiveTimeout.load(std::memory_order_relaxed) == wait) {
      const sys::IoResult r = sys::receiveWaiting(socket, buffer, static_cast<std::size_t>(size));
      if (r.status == sys::IoStatus::Done) return static_cast<int>(r.count);
      return r.status == sys::IoStatus::WouldBlock ? 0 : -1;
    }
    if (!sys::waitReadable(socket, wait)) return 0;
  }
  // Data already queued is taken without a readiness wait.
  for (bool waited = pollFirst;; waited = true) {
    const sys::IoResult r = sys::receiveNow(socket, buffer, static_cast<std::size_t>(size));
    if (r.status == sys::IoStatus::Done) return static_cast<int>(r.count);
    if (r.status != sys::IoStatus::WouldBlock) return -1;
    if (waited && wait >= 0) return 0;
    if (!sys::waitReadable(socket, wait)) return 0;
  }
}

int Connection::readExactly(void* buffer, int size, int* got, int ms) {
  if (!live()) return Closed;
  *got = 0;
  Use use(*this);
  if (!use) return Closed;
  const int wait = effectiveTimeout(ms);
  // A short reply to a request just sent is never there yet; bulk data that
  // streams in usually is.
  bool pollFirst = size <= kShortReply;
  auto* at = static_cast<char*>(buffer);
  while (size > 0) {
    const int r = receiveSome(use.share(), at, size, wait, pollFirst);
    pollFirst = true;
    if (r <= 0) return r;
    *got += r;
    at += r;
    size -= r;
  }
  return Complete;
}

int Connection::writeAll(const void* buffer, int len, int ms) {
  const sys::ConstBuffer part{buffer, len > 0 ? static_cast<std::size_t>(len) : 0};
  return writeAll(std::span(&part, 1), ms);
}

int Connection::writeAll(std::span<const sys::ConstBuffer> parts, int ms) {
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
    const sys::IoResult r = sys::sendNow(use.socket(), left + first, count - first);
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
