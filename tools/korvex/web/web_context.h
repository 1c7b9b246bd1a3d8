// What every route shares: the phone, the scratch directory and the bounds
// on transfers in flight.
#pragma once

#include <httplib.h>

#include <atomic>
#include <optional>
#include <string>

#include "api_reply.h"
#include "phone_link.h"
#include "scratch_dir.h"

namespace korvex::web {

// At most `count` at once; a request over the bound is answered 503 at once
// instead of queueing behind the others.
class Slots {
 public:
  explicit Slots(int count) : free_(count) {}
  bool take() {
    int free = free_.load();
    while (free > 0) {
      if (free_.compare_exchange_weak(free, free - 1)) return true;
    }
    return false;
  }
  void give() { ++free_; }

 private:
  std::atomic<int> free_;
};

// Bounds per server: the browser opens at most six connections to a host,
// and each copy holds one connection to the phone and one scratch file.
inline constexpr int kMaxUploads = 4;
inline constexpr int kMaxDownloads = 4;
// A JSON request body (mkdir, rename, delete) is a few paths at most.
inline constexpr std::size_t kMaxJsonBody = 16 * 1024;

struct WebContext {
  PhoneLink& phone;
  ScratchDir& scratch;
  Slots uploads{kMaxUploads};
  Slots downloads{kMaxDownloads};
  // Set when the server stops: copies still waiting on the phone give up,
  // so a stalled link does not hold Ctrl-C.
  std::atomic<bool> stopping{false};
};

// The session for a request, or null after answering why there is none. A
// new session after a lost one is said so in the X-Korvex-Reconnected
// header, which the page shows.
SessionRef sessionFor(WebContext& context, httplib::Response& response);

// The browserPath in query parameter `name`, or nothing after answering 400.
std::optional<std::string> pathParam(const httplib::Request& request, httplib::Response& response,
                                     const char* name = "path");

// The request's JSON object body, or nothing after answering 400.
std::optional<nlohmann::json> jsonBody(const httplib::Request& request, httplib::Response& response);

}  // namespace korvex::web

namespace korvex::web {

// One slot of a Slots, given back when the hold ends; empty when none was
// free.
class SlotHold {
 public:
  explicit SlotHold(Slots& slots) : slots_(slots.take() ? &slots : nullptr) {}
  SlotHold(SlotHold&& other) noexcept : slots_(std::exchange(other.slots_, nullptr)) {}
  SlotHold& operator=(SlotHold&&) = delete;
  ~SlotHold() {
    if (slots_) slots_->give();
  }
  explicit operator bool() const { return slots_ != nullptr; }

 private:
  Slots* slots_;
};

}  // namespace korvex::web
