#include "session/download_series.h"

#include <cstdint>
#include <deque>
#include <limits>
#include <memory>

#include "protocol.h"
#include "runtime/replacing_file.h"
#include "session/streaming.h"

namespace korvex {

using namespace protocol;

namespace {

// A request queued on the connection whose reply is not read yet, with the
// destination its bytes go to.
struct Pending {
  std::size_t index;
  std::unique_ptr<ReplacingFile> file;
  std::uint64_t requestEnd;  // where the request ends in everything queued
};

// Requests on their way out. Why neither side can block the other: the
// phone writes a reply and its bytes with blocking writes and reads the
// next request only afterwards, so a client that blocks on a write while
// a reply is owed to it could wait for ever on a phone that waits too.
// Here the client blocks on a write only for the first unanswered request,
// and only while none before it is unanswered: the phone then owes nothing
// and reads. Every later request is handed to the socket only as far as it
// takes it at once; the rest waits until after the next reply is read, and
// the client is always reading while anything is owed to it.
class Outgoing {
 public:
  explicit Outgoing(Exchange& exchange) : exchange_(exchange) {}

  // Queues one request; returns where it ends.
  std::uint64_t queue(std::uint32_t code, const RequestBlock& block) {
    const CodeBytes codeBytes = encodeCode(code);
    bytes_.insert(bytes_.end(), codeBytes.begin(), codeBytes.end());
    bytes_.insert(bytes_.end(), block.data(), block.data() + block.size());
    queued_ += CODE_SIZE + static_cast<std::uint64_t>(block.size());
    return queued_;
  }

  // Hands the socket what it takes now; when `whole` is still partly
  // queued, which means no request before it is unanswered, waits until
  // that much is sent. false when the connection broke.
  bool send(std::uint64_t whole) {
    if (!sendNow()) return false;
    if (sent_ < whole) {
      const auto rest = static_cast<int>(whole - sent_);
      if (!exchange_.write(bytes_.data() + start_, rest)) return false;
      advance(rest);
      if (!sendNow()) return false;
    }
    return true;
  }

 private:
  bool sendNow() {
    const int left = static_cast<int>(bytes_.size() - start_);
    if (left == 0) return true;
    const int taken = exchange_.writeNow(bytes_.data() + start_, left);
    if (taken < 0) return false;
    advance(taken);
    return true;
  }
  void advance(int count) {
    start_ += static_cast<std::size_t>(count);
    sent_ += static_cast<std::uint64_t>(count);
    if (start_ == bytes_.size()) {
      bytes_.clear();
      start_ = 0;
    }
  }

  Exchange& exchange_;
  std::vector<std::uint8_t> bytes_;
  std::size_t start_ = 0;  // bytes_ before this are sent
  std::uint64_t queued_ = 0, sent_ = 0;
};

}  // namespace

// The window bounds what a series holds at once (a destination's temporary
// file per request) and what the phone may read ahead; 8 requests of 32 KiB
// files already keep more in flight than a fast Wi-Fi link carries in a
// round trip, and several sessions share the link in a tree copy.
bool downloadSeries(Exchange& exchange, const std::vector<DownloadJob>& jobs, std::vector<bool>& landed,
                    std::size_t window) {
  landed.assign(jobs.size(), false);
  const auto data = streamBlock();
  if (!data) return true;  // nothing sent: every file failed, the connection is as it was
  if (window == 0) window = 1;
  Outgoing outgoing(exchange);
  std::deque<Pending> pending;
  std::size_t next = 0;

  // Queues requests up to the window. A destination is made before its
  // request goes out, so one that cannot be made fails alone and costs
  // the phone nothing.
  auto fill = [&] {
    while (pending.size() < window && next < jobs.size()) {
      const std::size_t i = next++;
      if (!pathFits(jobs[i].phonePath) || !pathFits(jobs[i].localPath)) continue;
      auto file = std::make_unique<ReplacingFile>();
      if (!file->open(jobs[i].localPath)) continue;
      const std::uint64_t end = outgoing.queue(CMD_DOWNLOAD, pathBlock(jobs[i].phonePath));
      pending.push_back({i, std::move(file), end});
    }
  };

  fill();
  while (!pending.empty()) {
    if (!outgoing.send(pending.front().requestEnd)) return false;
    ReplyBytes bytes{};
    if (exchange.read(bytes.data(), REPLY_HEADER_SIZE) != Connection::Complete) return false;
    const ReplyHeader reply = decodeReply(bytes.data());
    // The reply frees a place in the window: the next request leaves before
    // this file's bytes are read.
    Pending current = std::move(pending.front());
    pending.pop_front();
    fill();
    if (!outgoing.send(0)) return false;
    if (reply.status != 0) continue;  // refused: no bytes follow, the stream is in step
    // A file the disk refuses is drained whatever its size: dropping the
    // connection would fail every file whose request is already out, and
    // its bytes are on their way anyway.
    switch (receiveDownloadBody(exchange, reply.value, *current.file, data.get(), nullptr,
                                std::numeric_limits<std::uint32_t>::max())) {
      case BodyReceived::Broken: return false;
      case BodyReceived::Unwritten: break;
      case BodyReceived::Whole: landed[current.index] = current.file->commit();
    }
  }
  return true;
}

}  // namespace korvex
