#include "session/listing.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <new>

#include "protocol.h"
#include "runtime/page_buffer.h"

namespace korvex::listing {

using namespace protocol;

namespace {

// Whole records per receive at most: 1024 of them.
constexpr int kBlockSize = 1024 * NAME_RECORD_SIZE;

// The result is a signed 32-bit length.
constexpr std::size_t kMaxTotal = static_cast<std::size_t>(std::numeric_limits<int>::max());

// The joined names, in memory that FreeBuffer releases. Each name is copied
// once, straight from its record; the memory grows by doubling (large blocks
// are remapped by the allocator, not copied) and is trimmed to the exact
// size at the end.
class Joined {
 public:
  ~Joined() { std::free(text_); }
  std::size_t size() const { return size_; }
  bool append(std::string_view name) {
    const std::size_t needed = size_ + name.size() + 2;  // the '/' and, at the end, the '\0'
    if (needed > capacity_) {
      const std::size_t grown = std::max(needed, std::max<std::size_t>(capacity_ * 2, 4096));
      char* text = static_cast<char*>(std::realloc(text_, grown));
      if (text == nullptr) return false;
      text_ = text;
      capacity_ = grown;
    }
    std::memcpy(text_ + size_, name.data(), name.size());
    size_ += name.size();
    text_[size_++] = '/';
    return true;
  }
  // The text, ended by '\0', in a block of exactly that size.
  char* release() {
    text_[size_] = '\0';
    char* exact = static_cast<char*>(std::realloc(text_, size_ + 1));
    char* text = exact != nullptr ? exact : text_;  // a refused trim keeps the larger block
    text_ = nullptr;
    return text;
  }

 private:
  char* text_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace

int receiveNames(Exchange& exchange, std::uint32_t code, std::string_view path, char** out) {
  const RequestBlock block = pathBlock(path);
  ReplyHeader reply;
  if (exchange.request(code, &block, reply) != Stage::Replied || reply.status != 0) return -1;
  Joined joined;
  const bool received = receiveRecords(exchange, [&](std::string_view name) {
    return joined.size() + name.size() + 1 <= kMaxTotal && joined.append(name);
  });
  if (!received) return -1;
  if (joined.size() <= 1) return 0;
  const int length = static_cast<int>(joined.size());
  *out = joined.release();
  return length;
}

bool receiveRecords(Exchange& exchange, const std::function<bool(std::string_view)>& each) {
  std::uint8_t countBytes[LIST_COUNT_SIZE];
  if (exchange.read(countBytes, LIST_COUNT_SIZE) != Connection::Complete) return false;
  const std::uint32_t count = getWord(countBytes);

  // The names grow with the records that actually arrive, never with the
  // count the peer announced. Records come in large blocks (one receive per
  // name would cost a system call each); a record cut by a block's end waits
  // for the rest of it.
  try {
    const PageBuffer<std::uint8_t> block = pageBuffer<std::uint8_t>(kBlockSize);
    if (!block) throw std::bad_alloc();
    std::uint64_t unreceived = std::uint64_t{count} * NAME_RECORD_SIZE;
    int held = 0;
    while (unreceived > 0) {
      const int room = static_cast<int>(std::min<std::uint64_t>(kBlockSize - held, unreceived));
      int got = 0;
      if (exchange.readSome(block.get() + held, room, got) != Connection::Complete) return false;
      unreceived -= static_cast<std::uint64_t>(got);
      held += got;
      int at = 0;
      for (; held - at >= NAME_RECORD_SIZE; at += NAME_RECORD_SIZE) {
        if (!each(fieldText(block.get() + at, NAME_RECORD_SIZE))) {
          exchange.abandon();  // the rest of the records are still in the socket
          return false;
        }
      }
      std::memmove(block.get(), block.get() + at, static_cast<std::size_t>(held - at));
      held -= at;
    }
  } catch (const std::bad_alloc&) {
    exchange.abandon();
    return false;
  }
  return true;
}

}  // namespace korvex::listing
