#include "link_proxy.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <vector>

namespace korvex::test {

namespace {

using Clock = std::chrono::steady_clock;

// Large reads keep the relay cheap; small enough that a chunk's
// serialisation (1.3 ms at 200 Mbit/s) does not hold back its first byte much.
constexpr std::size_t kChunk = 32 * 1024;
// What one direction of a connection holds before it stops reading, so the
// sender feels the link's pace through TCP instead of filling memory.
constexpr std::size_t kQueueLimit = 1024 * 1024;

}  // namespace

// One direction of the link: the time its medium is busy until, shared by
// every connection.
class LinkProxy::Line {
 public:
  explicit Line(LinkShape shape) : shape_(shape) {}

  // When a chunk handed to the link at `sent` reaches the far side.
  Clock::time_point due(Clock::time_point sent, std::size_t bytes) {
    if (shape_.bitsPerSecond <= 0) return sent + shape_.delay;
    const auto serialising =
        std::chrono::ceil<Clock::duration>(std::chrono::duration<double>(bytes * 8.0 / shape_.bitsPerSecond));
    std::lock_guard lock(mutex_);
    busyUntil_ = std::max(sent, busyUntil_) + serialising;
    return busyUntil_ + shape_.delay;
  }

 private:
  LinkShape shape_;
  std::mutex mutex_;
  Clock::time_point busyUntil_{};
};

namespace {

// One direction of one connection: a reader queues what arrives with its due
// time, a writer delivers it then. When the source ends, the destination is
// shut down once everything queued has arrived, which ends the other
// direction in turn.
class Pipe {
 public:
  Pipe(loopback::Socket from, loopback::Socket to, LinkProxy::Line& line, Clock::time_point earliest,
       std::atomic<int>& threadsDone, std::atomic<std::uint64_t>& connectionsDone)
      : from_(from), to_(to), line_(line), earliest_(earliest), threadsDone_(threadsDone),
        connectionsDone_(connectionsDone) {}

  void start() {
    reader_ = std::thread([this] { read(); });
    writer_ = std::thread([this] { write(); });
  }
  void abort() {
    std::lock_guard lock(mutex_);
    aborted_ = true;
    changed_.notify_all();
  }
  void join() {
    if (reader_.joinable()) reader_.join();
    if (writer_.joinable()) writer_.join();
  }

 private:
  struct Chunk {
    Clock::time_point due;
    std::vector<std::uint8_t> bytes;
  };

  void read() {
    std::vector<std::uint8_t> buffer(kChunk);
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return aborted_ || queued_ < kQueueLimit; });
        if (aborted_) break;
      }
      const loopback::IoResult got = loopback::receiveSome(from_, buffer.data(), buffer.size());
      if (got.status != loopback::Io::Done) break;
      const Clock::time_point due = line_.due(std::max(Clock::now(), earliest_), got.count);
      std::lock_guard lock(mutex_);
      queue_.push_back({due, std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + got.count)});
      queued_ += got.count;
      changed_.notify_all();
    }
    {
      std::lock_guard lock(mutex_);
      ended_ = true;
      changed_.notify_all();
    }
    threadDone();
  }

  void write() {
    bool drained = false;
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return aborted_ || ended_ || !queue_.empty(); });
      if (aborted_) break;
      if (queue_.empty()) {
        drained = true;
        break;
      }
      const Clock::time_point due = queue_.front().due;
      if (Clock::now() < due) {
        changed_.wait_until(lock, due, [&] { return aborted_; });
        continue;
      }
      Chunk chunk = std::move(queue_.front());
      queue_.pop_front();
      queued_ -= chunk.bytes.size();
      changed_.notify_all();
      lock.unlock();
      const bool sent = loopback::sendAll(to_, chunk.bytes.data(), chunk.bytes.size());
      lock.lock();
      if (!sent) break;
    }
    if (!drained) {
      // The destination is gone (or the proxy stops): nothing more is read.
      aborted_ = true;
      changed_.notify_all();
    }
    lock.unlock();
    loopback::shutdownBoth(to_);
    if (!drained) loopback::shutdownBoth(from_);
    threadDone();
  }

  void threadDone() {
    if (++threadsDone_ == 4) ++connectionsDone_;
  }

  loopback::Socket from_, to_;
  LinkProxy::Line& line_;
  Clock::time_point earliest_;
  std::atomic<int>& threadsDone_;
  std::atomic<std::uint64_t>& connectionsDone_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Chunk> queue_;
  std::size_t queued_ = 0;
  bool ended_ = false;
  bool aborted_ = false;
  std::thread reader_, writer_;
};

}  // namespace

class LinkProxy::Connection {
 public:
  // The client's first bytes leave once the handshake's round trip is over.
  Connection(loopback::Socket client, loopback::Socket target, Line& up, Line& down, LinkShape shape,
             std::atomic<std::uint64_t>& finished)
      : client_(client), target_(target),
        up_(client, target, up, Clock::now() + 2 * shape.delay, threadsDone_, finished),
        down_(target, client, down, Clock::now(), threadsDone_, finished) {
    up_.start();
    down_.start();
  }
  ~Connection() {
    up_.join();
    down_.join();
    loopback::closeSocket(client_);
    loopback::closeSocket(target_);
  }
  bool done() const { return threadsDone_.load() == 4; }
  void abort() {
    up_.abort();
    down_.abort();
    loopback::shutdownBoth(client_);
    loopback::shutdownBoth(target_);
  }

 private:
  loopback::Socket client_, target_;
  std::atomic<int> threadsDone_{0};
  Pipe up_, down_;
};

LinkProxy::LinkProxy(std::uint16_t targetPort, LinkShape shape, std::uint16_t listenPort)
    : shape_(shape), target_(targetPort), up_(std::make_unique<Line>(shape)), down_(std::make_unique<Line>(shape)) {
  listener_ = loopback::listenLoopbackAt(256, listenPort, port_);
  if (listening()) acceptor_ = std::thread([this] { acceptLoop(); });
}

LinkProxy::~LinkProxy() { stop(); }

std::string LinkProxy::address() const { return "127.0.0.1:" + std::to_string(port_); }

void LinkProxy::acceptLoop() {
  for (;;) {
    const loopback::Socket client = loopback::acceptClient(listener_);
    if (client == loopback::kNoSocket) return;
    if (stopping_.load()) {
      loopback::closeSocket(client);
      return;
    }
    const loopback::Socket target = loopback::connectLoopback(target_);
    if (target == loopback::kNoSocket) {
      loopback::closeSocket(client);  // the client sees its connection end, as with a refused connect
      continue;
    }
    // Chunks leave when they are due, not when Nagle would let them.
    loopback::sendAtOnce(client);
    loopback::sendAtOnce(target);
    ++accepted_;
    reap(false);
    std::lock_guard lock(mutex_);
    connections_.push_back(std::make_unique<Connection>(client, target, *up_, *down_, shape_, finished_));
  }
}

void LinkProxy::reap(bool all) {
  std::list<std::unique_ptr<Connection>> ended;
  {
    std::lock_guard lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (all || (*it)->done()) {
        if (all) (*it)->abort();
        ended.push_back(std::move(*it));
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
  }
  ended.clear();  // joins, outside the lock
}

void LinkProxy::stop() {
  if (stopping_.exchange(true)) return;
  if (listening()) {
    loopback::shutdownBoth(listener_);
    if (acceptor_.joinable()) acceptor_.join();
    loopback::closeSocket(listener_);
  }
  reap(true);
}

}  // namespace korvex::test
