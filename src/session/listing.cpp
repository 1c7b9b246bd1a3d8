#include "session/listing.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "session/protocol.h"

namespace korvex::listing {

using namespace protocol;

namespace {

constexpr std::uint32_t kRecordsPerRead = 64;

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
  // count the peer announced.
  std::string joined;
  try {
    // Records are taken a batch at a time: one receive per record would cost
    // a system call per name.
    std::array<std::uint8_t, kRecordsPerRead * NAME_RECORD_SIZE> batch;
    for (std::uint32_t left = count; left > 0;) {
      const std::uint32_t records = std::min(left, kRecordsPerRead);
      const int bytes = static_cast<int>(records) * NAME_RECORD_SIZE;
      if (exchange.read(batch.data(), bytes) != Connection::Complete) return -1;
      left -= records;
      for (std::uint32_t r = 0; r < records; ++r) {
        const std::string_view name = fieldText(batch.data() + r * NAME_RECORD_SIZE, NAME_RECORD_SIZE);
        if (joined.size() + name.size() + 1 > kMaxTotal) {
          exchange.abandon();  // the rest of the records are still in the socket
          return -1;
        }
        joined.append(name);
        joined.push_back('/');
      }
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
