// A background copy on a connection of its own, and its progress. Part of
// korvex.hpp.
#ifndef KORVEX_TRANSFER_HPP
#define KORVEX_TRANSFER_HPP

#include <chrono>
#include <cstdint>
#include <thread>
#include <utility>

#include "korvex.h"
#include "korvex/errors.hpp"

namespace korvex {

// Where a background copy stands.
struct Progress {
  enum class Phase { starting, running, done, failed };
  Phase phase = Phase::starting;
  std::uint32_t done = 0;   // bytes moved
  std::uint32_t total = 0;  // size of the file; known once running

  // The library's progress values -1 (not started) and -2 (failed) share
  // their bits with 4 GiB - 1 and 4 GiB - 2: copies of those two exact sizes
  // never read as done.
  static Progress decode(int value, int total) {
    Progress p;
    p.total = static_cast<std::uint32_t>(total);
    if (value == -1) return p;
    if (value == -2) {
      p.phase = Phase::failed;
      return p;
    }
    p.done = static_cast<std::uint32_t>(value);
    p.phase = p.done == p.total ? Phase::done : Phase::running;
    return p;
  }
};

// One background copy on a connection of its own. Move-only; the destructor
// cancels a copy that still runs and frees the handle.
class Transfer {
 public:
  Transfer() = default;
  explicit Transfer(TransferHandle handle) : handle_(handle) {}
  Transfer(Transfer&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Transfer& operator=(Transfer&& other) noexcept {
    if (this != &other) {
      cancel();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  ~Transfer() { cancel(); }

  bool valid() const { return handle_ != nullptr; }
  TransferHandle handle() const { return handle_; }

  // Never blocks. After cancel() it reads as failed.
  Progress progress() const {
    if (!handle_) {
      Progress p;
      p.phase = Progress::Phase::failed;
      return p;
    }
    int total = 0, progress = 0;
    const int value = GetTransProgress(handle_, &total, &progress);
    return Progress::decode(value, total);
  }

  // Polls until the copy is done (ok), failed (copy_failed) or the time is
  // up (timed_out: the copy goes on). A copy whose own connection or login
  // fails stays "starting" for ever: give a timeout. An upload is done only
  // once the phone has confirmed the size it stored.
  Status wait(std::chrono::milliseconds timeout = std::chrono::milliseconds::max(),
              std::chrono::milliseconds poll = std::chrono::milliseconds(10)) const {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
      const Progress p = progress();
      if (p.phase == Progress::Phase::done) return {};
      if (p.phase == Progress::Phase::failed) return Errc::copy_failed;
      if (timeout != std::chrono::milliseconds::max() && std::chrono::steady_clock::now() - start >= timeout) {
        return Errc::timed_out;
      }
      std::this_thread::sleep_for(poll);
    }
  }

  // Stops the copy if it still runs, waits for its thread and frees the
  // handle. A cancelled download leaves its destination as it was.
  void cancel() {
    if (handle_) CloseTransHandle(std::exchange(handle_, nullptr));
  }

 private:
  TransferHandle handle_ = nullptr;
};

}  // namespace korvex

#endif  // KORVEX_TRANSFER_HPP
