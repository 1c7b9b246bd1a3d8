#include "login_throttle.h"

#include <algorithm>

namespace korvexd {

namespace {
// Addresses are forgotten in a sweep once this many are remembered.
constexpr std::size_t kSweepAt = 4096;
}  // namespace

int LoginThrottle::delayAfter(int failures) const {
  if (failures <= 0 || delays_.firstMs <= 0) return 0;
  long long delay = delays_.firstMs;
  for (int i = 1; i < failures && delay < delays_.maxMs; ++i) delay *= 2;
  return static_cast<int>(std::min<long long>(delay, delays_.maxMs));
}

void LoginThrottle::forgetQuiet(Clock::time_point now) {
  const auto quiet = std::chrono::milliseconds(delays_.quietMs);
  std::erase_if(records_, [&](const auto& entry) {
    return now - entry.second.lastFailure >= quiet && now >= entry.second.notBefore;
  });
}

LoginThrottle::Turn LoginThrottle::book(const std::string& address, bool failed, Clock::time_point now) {
  Turn turn;
  turn.at = now;
  if (delays_.firstMs <= 0) return turn;
  std::lock_guard lock(mutex_);
  auto found = records_.find(address);
  if (found != records_.end() && now - found->second.lastFailure >= std::chrono::milliseconds(delays_.quietMs) &&
      now >= found->second.notBefore) {
    records_.erase(found);
    found = records_.end();
  }
  if (found == records_.end()) {
    if (!failed) return turn;
    if (records_.size() >= kSweepAt) forgetQuiet(now);
    found = records_.emplace(address, Record{}).first;
  }
  Record& record = found->second;
  turn.at = std::max(now, record.notBefore);
  // Answers owed further ahead than the longest delay would only pile up
  // connections waiting for them.
  if (turn.at - now > std::chrono::milliseconds(delays_.maxMs)) {
    turn.answered = false;
    turn.failures = record.failures;
    return turn;
  }
  if (!failed) {
    records_.erase(found);
    return turn;
  }
  record.failures += 1;
  record.lastFailure = turn.at;
  turn.failures = record.failures;
  turn.nextDelayMs = delayAfter(record.failures);
  record.notBefore = turn.at + std::chrono::milliseconds(turn.nextDelayMs);
  return turn;
}

}  // namespace korvexd
