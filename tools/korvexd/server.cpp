#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>

#include "log.h"

namespace korvexd {

struct Server::Start {
  Server* server;
  std::uint64_t id;
  int socket;
  std::string peer;
};

Server::Server(const Root& root, ServiceConfig config, ServerLimits limits)
    : root_(root),
      config_(std::move(config)),
      limits_(limits),
      wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      spareFd_(::open("/dev/null", O_RDONLY | O_CLOEXEC)),
      throttle_(limits.loginDelays) {}

Server::~Server() { stopAll(); }

bool Server::listen(const sockaddr_in& address, std::string& error) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  int on = 1;
  if (!fd.valid() || setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.get(), SOMAXCONN) != 0) {
    error = errorText(errno);
    return false;
  }
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  if (getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    error = errorText(errno);
    return false;
  }
  port_ = ntohs(bound.sin_port);
  listener_ = std::move(fd);
  return true;
}

void Server::run(int stopFd) {
  pollfd fds[3] = {{listener_.get(), POLLIN, 0}, {wakeFd_.get(), POLLIN, 0}, {stopFd, POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      logLine("poll failed: %s; stopping", errorText(errno));
      break;
    }
    if (fds[2].revents) {
      signalfd_siginfo info{};
      if (::read(stopFd, &info, sizeof info) == sizeof info)
        logLine("signal %u: stopping", info.ssi_signo);
      break;
    }
    if (fds[1].revents) {
      std::uint64_t count;
      (void)!::read(wakeFd_.get(), &count, sizeof count);
      joinFinished();
      if (powerOff_) break;
    }
    // Accept a bounded batch, so a flood of connects cannot starve the wake-ups.
    if (fds[0].revents) {
      for (int i = 0; i < 64; ++i) {
        if (!acceptOne()) break;
      }
    }
  }
  stopAll();
}

bool Server::acceptOne() {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  Fd socket(accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC));
  if (!socket.valid()) {
    if (errno == EINTR || errno == ECONNABORTED) return true;
    if (errno == EMFILE || errno == ENFILE) {
      // The pending connection would keep the listener readable and poll
      // spinning: free a descriptor to accept it and close it at once.
      spareFd_.reset();
      Fd(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      spareFd_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
      logLine("connection dropped: out of file descriptors");
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      logLine("accept failed: %s", errorText(errno));
    }
    return false;
  }
  // Every send that is followed by more says so (MSG_MORE), so the last,
  // short piece of a reply can leave at once instead of waiting for the
  // client's delayed acknowledgement.
  const int on = 1;
  setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  spawn(std::move(socket), std::string(text) + ":" + std::to_string(ntohs(peer.sin_port)));
  return true;
}

void Server::spawn(Fd socket, const std::string& peer) {
  std::uint64_t id = nextId_++;
  std::lock_guard lock(mutex_);
  if (sessions_ >= limits_.maxConnections) {
    logLine("conn %llu: refused from %s: %zu sessions already", static_cast<unsigned long long>(id), peer.c_str(),
            sessions_);
    return;
  }
  if (pending_.size() >= limits_.maxPendingLogins) dropOldestPending();
  // Logged before the thread exists, so "accepted" always precedes its lines.
  logLine("conn %llu: accepted from %s", static_cast<unsigned long long>(id), peer.c_str());
  auto start = std::make_unique<Start>(Start{this, id, socket.get(), peer});
  ThreadStack stack(limits_.threadStackBytes);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  // Without a stack of our own the C library's, which it may keep after the thread.
  if (!stack.applyTo(attr)) {
    stack = ThreadStack();
    pthread_attr_setstacksize(&attr, limits_.threadStackBytes);
  }
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, &Server::threadMain, start.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    logLine("conn %llu: closed (no thread: %s)", static_cast<unsigned long long>(id), errorText(rc));
    return;
  }
  start.release();  // the thread owns it now
  // The thread may have finished already: it is joined only by this thread,
  // in joinFinished(), which cannot run before this entry exists. It cannot
  // reach admit() before the entry exists either: admit() takes the mutex.
  workers_.emplace(id, Worker{thread, std::move(socket), Stage::Pending, std::move(stack)});
  pending_.insert(id);
  highPoint_ = std::max(highPoint_, workers_.size());
}

void Server::dropOldestPending() {
  std::uint64_t oldest = *pending_.begin();
  pending_.erase(pending_.begin());
  Worker& worker = workers_.at(oldest);
  worker.stage = Stage::Dropped;
  // The thread wakes from its wait and ends; the socket stays ours until it is joined.
  ::shutdown(worker.socket.get(), SHUT_RDWR);
  logLine("conn %llu: dropped: %zu connections waiting to log in, this one the oldest",
          static_cast<unsigned long long>(oldest), limits_.maxPendingLogins);
}

bool Server::admit(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  auto found = workers_.find(id);
  if (found == workers_.end() || found->second.stage != Stage::Pending) return false;
  pending_.erase(id);
  if (sessions_ >= limits_.maxConnections) {
    found->second.stage = Stage::Dropped;
    logLine("conn %llu: no room for another session (%zu)", static_cast<unsigned long long>(id), sessions_);
    return false;
  }
  found->second.stage = Stage::LoggedIn;
  ++sessions_;
  return true;
}

void* Server::threadMain(void* arg) {
  std::unique_ptr<Start> start(static_cast<Start*>(arg));
  Server* server = start->server;
  try {
    const std::uint64_t id = start->id;
    ClientSession session(
        start->socket, id, std::move(start->peer), server->root_, server->config_,
        [server] {
          server->powerOff_ = true;
          server->wake();
        },
        &server->throttle_, [server, id] { return server->admit(id); });
    session.serve();
  } catch (const std::bad_alloc&) {
    logLine("conn %llu: closed (out of memory)", static_cast<unsigned long long>(start->id));
  }
  server->finished(start->id);
  return nullptr;
}

void Server::finished(std::uint64_t id) {
  {
    std::lock_guard lock(mutex_);
    done_.push_back(id);
    // Its place is free now, though the thread is joined later.
    auto found = workers_.find(id);
    if (found != workers_.end()) {
      if (found->second.stage == Stage::LoggedIn) --sessions_;
      if (found->second.stage == Stage::Pending) pending_.erase(id);
      found->second.stage = Stage::Dropped;
    }
  }
  wake();
}

void Server::wake() {
  std::uint64_t one = 1;
  (void)!::write(wakeFd_.get(), &one, sizeof one);
}

void Server::joinFinished() {
  std::vector<std::uint64_t> ids;
  {
    std::lock_guard lock(mutex_);
    ids.swap(done_);
  }
  for (std::uint64_t id : ids) {
    std::unique_lock lock(mutex_);
    auto node = workers_.extract(id);
    lock.unlock();
    if (node) pthread_join(node.mapped().thread, nullptr);
    // the node's destructor closes the socket and unmaps the stack, now that no thread uses them
  }
  if (!ids.empty()) trimAfterLeaving();
}

void Server::trimAfterLeaving() {
  // Not for every session that ends while others go on: a trim walks every
  // arena. The last one to end always trims.
  constexpr std::size_t kFewest = 16;
  {
    std::lock_guard lock(mutex_);
    const std::size_t now = workers_.size();
    const bool allGone = now == 0 && highPoint_ > 0;
    if (!allGone && (highPoint_ < now + kFewest || now * 2 > highPoint_)) return;
    highPoint_ = now;
  }
  malloc_trim(0);
}

void Server::stopAll() {
  listener_.reset();
  {
    std::lock_guard lock(mutex_);
    for (auto& [id, worker] : workers_) ::shutdown(worker.socket.get(), SHUT_RDWR);
  }
  // Threads wake from poll at once; one busy on the disk ends with its call.
  for (;;) {
    joinFinished();
    {
      std::lock_guard lock(mutex_);
      if (workers_.empty()) return;
    }
    pollfd wake{wakeFd_.get(), POLLIN, 0};
    if (::poll(&wake, 1, -1) > 0) {
      std::uint64_t count;
      (void)!::read(wakeFd_.get(), &count, sizeof count);
    }
  }
}

}  // namespace korvexd
