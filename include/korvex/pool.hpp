// Logged-in sessions for work that runs side by side: copies of many files,
// a mount's whole-file copies, a web page's transfers. Over Wi-Fi a connect
// and a log-in cost more than a small file, so sessions are kept between
// pieces of work. Part of korvex.hpp.
#ifndef KORVEX_POOL_HPP
#define KORVEX_POOL_HPP

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "korvex/errors.hpp"
#include "korvex/session.hpp"

namespace korvex {

class SessionPool {
 public:
  class Lease;

  // Sessions log in to `address` with `password`; at most `keep` idle ones
  // are kept (more are disconnected when given back).
  SessionPool(std::string address, std::string password, std::size_t keep = 16)
      : address_(std::move(address)), password_(std::move(password)), keep_(keep) {}
  SessionPool(const SessionPool&) = delete;
  SessionPool& operator=(const SessionPool&) = delete;
  // Every lease must have ended.
  ~SessionPool() = default;

  const std::string& address() const { return address_; }

  // Logs in `count` sessions at once, so they cost one log-in's time, and
  // keeps them idle. How many logged in; with none, the first error.
  Result<std::size_t> prepare(std::size_t count) {
    std::vector<Result<Session>> opened;
    for (std::size_t i = 0; i < count; ++i) opened.emplace_back(Errc::connect_failed);
    std::vector<std::thread> logins;
    for (std::size_t i = 0; i < count; ++i) {
      logins.emplace_back([this, &opened, i] { opened[i] = Session::connect(address_, password_); });
    }
    for (std::thread& login : logins) login.join();
    std::size_t ready = 0;
    Errc first = Errc::ok;
    std::lock_guard<std::mutex> hold(mutex_);
    for (Result<Session>& session : opened) {
      if (session) {
        idle_.push_back(std::make_unique<Session>(std::move(session).value()));
        ++ready;
      } else if (first == Errc::ok) {
        first = session.error();
      }
    }
    if (ready == 0 && count > 0) return first;
    return ready;
  }

  // A session held for one piece of work: idle, or logged in now (not
  // under the pool's lock). connection_lost once the pool is stopped.
  Result<Lease> acquire() {
    std::unique_ptr<Session> session;
    bool fresh = false;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (stopped_) return Errc::connection_lost;
      while (!idle_.empty() && !session) {
        session = std::move(idle_.back());
        idle_.pop_back();
        if (!session->connected()) session.reset();
      }
    }
    if (!session) {
      Result<Session> opened = Session::connect(address_, password_);
      if (!opened) return opened.error();
      session = std::make_unique<Session>(std::move(opened).value());
      fresh = true;
    }
    std::lock_guard<std::mutex> hold(mutex_);
    if (stopped_) return Errc::connection_lost;  // the session ends here, on this thread
    leased_.push_back(session.get());
    return Lease(*this, std::move(session), fresh);
  }

  // Runs `work(const Session&)`, which returns a Status, on a leased
  // session. An idle session may have lost its phone unnoticed since its
  // last use: work that meets a lost connection there runs once more on a
  // fresh one.
  template <typename Work>
  Status run(Work&& work) {
    for (;;) {
      Result<Lease> lease = acquire();
      if (!lease) return lease.error();
      const Status status = work(*lease.value());
      if (status.error() != Errc::connection_lost || lease->fresh() || stopped()) return status;
    }
  }

  // Stops the pool: acquire() fails from now on, and every leased session
  // is interrupted (Session::interrupt), so work on it returns at once with
  // connection_lost. Safe from any thread, and more than once.
  void stop() {
    std::vector<std::unique_ptr<Session>> ended;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stopped_ = true;
      for (const Session* session : leased_) session->interrupt();
      ended.swap(idle_);
    }
    // Disconnecting waits for each session's keep-alive: not under the lock.
  }
  bool stopped() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return stopped_;
  }

  class Lease {
   public:
    Lease() = default;
    Lease(Lease&& other) noexcept
        : pool_(std::exchange(other.pool_, nullptr)), session_(std::move(other.session_)), fresh_(other.fresh_) {}
    Lease& operator=(Lease&& other) noexcept {
      if (this != &other) {
        end();
        pool_ = std::exchange(other.pool_, nullptr);
        session_ = std::move(other.session_);
        fresh_ = other.fresh_;
      }
      return *this;
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    // Gives a connected session back for reuse; one that lost its phone,
    // or any after stop(), is disconnected on this thread.
    ~Lease() { end(); }

    const Session& operator*() const { return *session_; }
    const Session* operator->() const { return session_.get(); }
    // Logged in for this lease, not taken from the idle ones.
    bool fresh() const { return fresh_; }

   private:
    friend class SessionPool;
    Lease(SessionPool& pool, std::unique_ptr<Session> session, bool fresh)
        : pool_(&pool), session_(std::move(session)), fresh_(fresh) {}
    void end() {
      if (pool_ && session_) pool_->giveBack(std::move(session_));
      pool_ = nullptr;
    }

    SessionPool* pool_ = nullptr;
    std::unique_ptr<Session> session_;
    bool fresh_ = false;
  };

 private:
  void giveBack(std::unique_ptr<Session> session) {
    std::unique_ptr<Session> ended;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      leased_.erase(std::remove(leased_.begin(), leased_.end(), session.get()), leased_.end());
      if (!stopped_ && idle_.size() < keep_ && session->connected()) {
        idle_.push_back(std::move(session));
      } else {
        ended = std::move(session);
      }
    }
    // Disconnecting waits for the session's keep-alive: not under the lock.
    ended.reset();
  }

  const std::string address_;
  const std::string password_;
  const std::size_t keep_;
  mutable std::mutex mutex_;
  bool stopped_ = false;                           // guarded by mutex_
  std::vector<std::unique_ptr<Session>> idle_;     // guarded by mutex_
  std::vector<const Session*> leased_;             // guarded by mutex_
};

}  // namespace korvex

#endif  // KORVEX_POOL_HPP
