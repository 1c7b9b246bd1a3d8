// Slows password guessing: each failed login from an address pushes back the
// next answer to that address, doubling up to a cap, so guesses cost time
// whether they come one after another or over many connections at once.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace korvexd {

struct LoginDelays {
  int firstMs = 250;    // after the first failure; 0 turns the delays off
  int maxMs = 8000;     // the cap of the doubling
  int quietMs = 60000;  // failures older than this are forgotten
};

class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  struct Turn {
    bool answered = true;  // false: too many answers are owed already; close unanswered
    Clock::time_point at;  // when the answer may go out
    int failures = 0;      // failures of the address so far, this one included
    int nextDelayMs = 0;   // what a failure now costs the address's next answer
  };

  explicit LoginThrottle(LoginDelays delays) : delays_(delays) {}

  // Books the answer to a login from `address` whose verdict is `failed`.
  // Answers to one address go out one delay apart, in the order booked; a
  // success forgets the address's failures. Thread-safe.
  Turn book(const std::string& address, bool failed, Clock::time_point now);

 private:
  struct Record {
    int failures = 0;
    Clock::time_point lastFailure;
    Clock::time_point notBefore;
  };
  int delayAfter(int failures) const;
  void forgetQuiet(Clock::time_point now);

  const LoginDelays delays_;
  std::mutex mutex_;
  std::map<std::string, Record> records_;  // guarded by mutex_
};

}  // namespace korvexd
