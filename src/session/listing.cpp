#include "session/listing.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "session/protocol.h"

namespace korvex::listing {

using namespace protocol;

namespace {

// Whole records per receive at most: 1024 of them.
constexpr int kBlockSize = 1024 * NAME_RECORD_SIZE;

// The result is a signed 32-bit length.
constexpr std::size_t kMaxTotal = static_cast<std::size_t>(std::numeric_limits<int>::max());

}  // namespace

int receiveNames(Exchange& exchange, std::uint32_t code, std::string_view path, char** out) {
  const RequestBlock block = pathBlock(path);
  ReplyHeader reply;
  if (exchange.request(code, &block, reply) != Stage::Replied || reply.status != 0) return -1;
  std::uint8_t countBytes[LIST_COUNT_SIZE];
  if (exchange.read(countBytes, LIST_COUNT_SIZE) != Connection::Complete) return -1;
  const std::uint32_t count = getWord(countBytes);

  // The text grows with the records that actually arrive, never with the
  // count the peer announced. Records come in large blocks (one receive per
  // name would cost a system call each); a record cut by a block's end waits
  // for the rest of it.
  std::string joined;
  try {
    const std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[kBlockSize]);
    std::uint64_t unreceived = std::uint64_t{count} * NAME_RECORD_SIZE;
    int held = 0;
    while (unreceived > 0) {
      const int room = static_cast<int>(std::min<std::uint64_t>(kBlockSize - held, unreceived));
      int got = 0;
      if (exchange.readSome(block.get() + held, room, got) != Connection::Complete) return -1;
      unreceived -= static_cast<std::uint64_t>(got);
      held += got;
      int at = 0;
      for (; held - at >= NAME_RECORD_SIZE; at += NAME_RECORD_SIZE) {
        const std::string_view name = fieldText(block.get() + at, NAME_RECORD_SIZE);
        if (joined.size() + name.size() + 1 > kMaxTotal) {
          exchange.abandon();  // the rest of the records are still in the socket
          return -1;
        }
        joined.append(name);
        joined.push_back('/');
      }
      std::memmove(block.get(), block.get() + at, static_cast<std::size_t>(held - at));
      held -= at;
    }
  } catch (const std::bad_alloc&) {
    exchange.abandon();
    return -1;
  }
  if (joined.size() <= 1) return 0;
  // Every record has been read: the stream is in step whatever happens now.
  char* buffer = new (std::nothrow) char[joined.size() + 1];
  if (buffer == nullptr) return -1;
  std::memcpy(buffer, joined.data(), joined.size());
  buffer[joined.size()] = '\0';
  *out = buffer;
  return static_cast<int>(joined.size());
}

}  // namespace korvex::listing
