// Directory listings: names joined into one '/'-terminated buffer.
#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>

#include "runtime/log.h"
#include "runtime/platform.h"
#include "session/protocol.h"
#include "session/session.h"

namespace korvex {

using namespace protocol;

// The trace lines that tell the two listings apart.
struct ListingFormat {
  const char* entry;    // once the command lock is held
  const char* success;  // with the whole buffer
  bool withOutPointer;  // the directory listing also logs where the result goes
};

namespace {

const ListingFormat kFiles{"[%d-%d]GetFiles %s", "[%d-%d] GetFiles return %s", false};
const ListingFormat kDirectories{"[%d-%d] GetDirs %s %u", "[%d-%d]GetDirs return %s", true};

constexpr std::uint32_t kRecordsPerRead = 64;

// The result is a signed 32-bit length.
constexpr std::size_t kMaxTotal = static_cast<std::size_t>(std::numeric_limits<int>::max());

}  // namespace

int ClientThread::getFiles(const std::string& path, char** out) {
  return listNames(CMD_LIST_FILES, path, out, kFiles);
}

int ClientThread::getDirectories(const std::string& path, char** out) {
  return listNames(CMD_LIST_DIRS, path, out, kDirectories);
}

int ClientThread::listNames(std::uint32_t code, const std::string& path, char** out,
                            const ListingFormat& format) {
  LockHelper lock(commandLock);
  const int pid = platform::processId();
  const int tid = platform::threadId();
  if (format.withOutPointer) {
    logPrint(DEBUG, format.entry, pid, tid, path.c_str(),
             static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(out)));
  } else {
    logPrint(DEBUG, format.entry, pid, tid, path.c_str());
  }
  if (out == nullptr) return -2;
  if (path.size() > MAX_PATH_LENGTH) return -3;

  Exchange exchange(connection);
  const RequestBlock block = pathBlock(path);
  ReplyHeader reply;
  if (exchange.request(code, &block, reply) != Stage::Replied || reply.status != 0) return -1;
  std::uint8_t countBytes[LIST_COUNT_SIZE];
  if (!exchange.read(countBytes, LIST_COUNT_SIZE)) return -1;
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
      if (!exchange.read(batch.data(), static_cast<int>(records) * NAME_RECORD_SIZE)) return -1;
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
  const int total = static_cast<int>(joined.size());
  std::memcpy(buffer, joined.data(), joined.size());
  buffer[total] = '\0';
  *out = buffer;
  logPrint(DEBUG, format.success, pid, tid, buffer);
  return total;
}

}  // namespace korvex
