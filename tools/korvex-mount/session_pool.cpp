#include "session_pool.h"

#include "phone.h"

namespace korvex::mount {

bool SessionPool::run(const Copy& copy) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::optional<korvex::Session> session = take();
    if (!session) return false;
    const korvex::Status status = copy(*session);
    const bool lost = !session->connected();
    if (!lost) giveBack(std::move(*session));
    if (status.ok()) return true;
    if (!lost) return false;
  }
  return false;
}

std::optional<korvex::Session> SessionPool::take() {
  {
    std::lock_guard hold(mutex_);
    while (!idle_.empty()) {
      korvex::Session session = std::move(idle_.back());
      idle_.pop_back();
      if (session.connected()) return session;
    }
  }
  // Connecting takes round trips: not under the lock, so that other copies
  // can take and return sessions meanwhile.
  korvex::Result<korvex::Session> fresh = korvex::Session::connect(phone_.address(), phone_.password());
  if (!fresh) return std::nullopt;
  return std::move(fresh).value();
}

void SessionPool::giveBack(korvex::Session session) {
  std::lock_guard hold(mutex_);
  idle_.push_back(std::move(session));
}

}  // namespace korvex::mount
