// The listening socket and one thread per connection.
//
// Connections that have not logged in yet are capped on their own: past the
// cap the oldest of them is dropped, so clients that never finish a login
// can neither take the place of sessions nor keep a new login out.
//
// Threads have small stacks and block in poll(2) with time-outs; each keeps
// ownership of nothing but its ClientSession. The server owns every connection's
// socket until the thread has been joined, so shutting a socket down to stop
// a thread can never hit a descriptor number that was reused meanwhile.
#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "client_session.h"
#include "fd.h"
#include "login_throttle.h"
#include "root.h"
#include "thread_stack.h"

namespace korvexd {

struct ServerLimits {
  std::size_t maxConnections = 4096;   // logged-in sessions at once
  std::size_t maxPendingLogins = 64;   // connections still to log in, besides those
  std::size_t threadStackBytes = 128 * 1024;
  LoginDelays loginDelays;
};

class Server {
 public:
  Server(const Root& root, ServiceConfig config, ServerLimits limits);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds and listens; false with `error` set on failure.
  bool listen(const sockaddr_in& address, std::string& error);
  std::uint16_t port() const { return port_; }

  // Accepts and serves until `stopFd` becomes readable (a signalfd) or a power
  // command asks to go down; then closes every connection and joins its thread.
  void run(int stopFd);

 private:
  enum class Stage { Pending, LoggedIn, Dropped };
  struct Worker {
    pthread_t thread{};
    Fd socket;
    Stage stage = Stage::Pending;
    ThreadStack stack;  // unmapped when the entry goes, after the join
  };
  struct Start;

  static void* threadMain(void* start);
  bool acceptOne();  // false when nothing more is waiting
  void spawn(Fd socket, const std::string& peer);
  // A connection whose password was right becomes a session; false when it
  // was dropped meanwhile or the sessions are all taken.
  bool admit(std::uint64_t id);
  void dropOldestPending();  // with mutex_ held
  void finished(std::uint64_t id);
  void joinFinished();
  // Gives the heap's free pages back once half the connections of the last
  // high point have ended, and when the last one has: a crowd that leaves
  // must not leave its memory.
  void trimAfterLeaving();
  void stopAll();
  void wake();

  const Root& root_;
  const ServiceConfig config_;
  const ServerLimits limits_;
  Fd listener_;
  Fd wakeFd_;   // eventfd: a thread finished, or a power command came
  Fd spareFd_;  // given up when accept hits the descriptor limit
  std::uint16_t port_ = 0;
  std::uint64_t nextId_ = 1;
  std::atomic<bool> powerOff_{false};
  LoginThrottle throttle_;

  std::mutex mutex_;
  std::map<std::uint64_t, Worker> workers_;  // guarded by mutex_
  std::set<std::uint64_t> pending_;          // guarded by mutex_; ids grow, so the first is the oldest
  std::size_t sessions_ = 0;                 // guarded by mutex_; workers at Stage::LoggedIn
  std::vector<std::uint64_t> done_;          // guarded by mutex_
  std::size_t highPoint_ = 0;                // guarded by mutex_; most workers since the last trim
};

}  // namespace korvexd
