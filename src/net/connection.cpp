#include "net/connection.h"

#include "runtime/log.h"
#include "runtime/platform.h"

namespace korvex {

// The socket shared by every copy. `shares` is the number of live copies
// (guarded by connectionLock); `uses` counts live copies plus operations in
// flight, and the descriptor is released when it reaches zero, so no thread
// ever passes a released (and possibly reused) descriptor number to the system.
struct Connection::Share {
  sys::SocketHandle socket;
  int shares = 1;
  std::atomic<int> uses{1};
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

void Connection::setBlocking(bool blocking) {
  blocking_ = blocking;
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
  return receiveSome(use.socket(), buffer, size, effectiveTimeout(ms));
}

int Connection::receiveSome(sys::SocketHandle socket, void* buffer, int size, int wait) {
  // Data already queued is taken without a readiness wait.
  for (bool waited = false;; waited = true) {
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
  auto* at = static_cast<char*>(buffer);
  while (size > 0) {
    const int r = receiveSome(use.socket(), at, size, wait);
    if (r <= 0) return r;
    *got += r;
    at += r;
    size -= r;
  }
  return Complete;
}

int Connection::writeAll(const void* buffer, int len, int ms, bool moreFollows) {
  if (!live()) return -1;
  if (len <= 0) return 0;
  Use use(*this);
  if (!use) return -1;
  const int wait = effectiveTimeout(ms);
  const auto* at = static_cast<const char*>(buffer);
  int sent = 0;
  while (sent < len) {
    const sys::IoResult r =
        sys::sendNow(use.socket(), at + sent, static_cast<std::size_t>(len - sent), moreFollows);
    if (r.status == sys::IoStatus::Done) {
      sent += static_cast<int>(r.count);
    } else if (r.status == sys::IoStatus::WouldBlock) {
      if (!sys::waitWritable(use.socket(), wait)) return sent;
    } else {
      return sent == 0 ? -1 : sent;
    }
  }
  return sent;
}

}  // namespace korvex
