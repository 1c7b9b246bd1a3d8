// Logged-in sessions kept for whole-file copies: a small file then costs
// its own exchanges, with no connect and no log-in before them, which over
// Wi-Fi is most of its time.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "korvex.hpp"

namespace korvex::mount {

class Phone;

class SessionPool {
 public:
  using Copy = std::function<korvex::Status(const korvex::Session&)>;

  // The callers bound how many copies run at once; as many sessions stay
  // idle at most.
  explicit SessionPool(const Phone& phone) : phone_(phone) {}

  // Runs `copy` on an idle session or a new one. An idle session may have
  // lost its phone unnoticed since its last copy: a copy that meets a lost
  // connection is run once more on a new one. False when the phone cannot
  // be reached or the copy failed.
  bool run(const Copy& copy);

 private:
  std::optional<korvex::Session> take();
  void giveBack(korvex::Session session);

  const Phone& phone_;
  std::mutex mutex_;
  std::vector<korvex::Session> idle_;  // guarded by mutex_
};

}  // namespace korvex::mount
