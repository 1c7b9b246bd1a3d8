// korvexd's handling of one logged-in connection: the input is what the
// client sends after its login, served against a small temporary root
// (service_sandbox.h, which also lists the checks made after every input).
//
// The first input byte chooses the resolver, whether power commands end the
// connection, and the encoding of the rest:
//   raw      the bytes go to the service as they are;
//   compact  each command is a code byte, then per path field a length byte
//            (bit 7: fill the field without its NUL) and the text, per
//            32-bit word four bytes; an upload's announced size is a 16-bit
//            word and its data the bytes that follow.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "protocol.h"
#include "service_sandbox.h"

namespace {

namespace proto = korvex::protocol;

constexpr std::size_t kMaxInput = 64 * 1024;
// A compact command of one byte becomes a request of over a kilobyte.
constexpr std::size_t kMaxStream = 256 * 1024;

// Expands the compact form into the bytes of the requests.
std::vector<std::uint8_t> expand(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> out;
  std::size_t at = 0;
  auto take = [&](std::size_t n) {
    std::size_t start = at;
    at = std::min(size, at + n);
    return std::pair(data + start, at - start);
  };
  while (at < size && out.size() < kMaxStream) {
    const std::uint32_t code = data[at++] % 20;  // 17..19 are unknown codes
    std::uint8_t codeBytes[4];
    proto::putWord(codeBytes, code);
    out.insert(out.end(), codeBytes, codeBytes + 4);
    const int blockSize = code <= proto::kLastCommandCode ? proto::requestBlockSize(code) : 0;
    std::vector<std::uint8_t> block(static_cast<std::size_t>(blockSize), 0);
    std::size_t uploadSize = 0;
    for (int offset = 0; offset < blockSize;) {
      const bool pathField = offset == 0 || (code == proto::CMD_RENAME && offset == proto::PATH_FIELD_SIZE);
      if (pathField) {
        auto [length, n] = take(1);
        if (n == 0) break;
        auto [text, got] = take(*length & 0x7F);
        std::memcpy(block.data() + offset, text, got);
        if (*length & 0x80) std::memset(block.data() + offset + got, 'x', proto::PATH_FIELD_SIZE - got);
        offset += proto::PATH_FIELD_SIZE;
      } else if (code == proto::CMD_UPLOAD) {
        auto [bytes, got] = take(2);
        uploadSize = got == 2 ? static_cast<std::size_t>(bytes[0] | bytes[1] << 8) : 0;
        proto::putWord(block.data() + offset, static_cast<std::uint32_t>(uploadSize));
        offset += 4;
      } else {
        auto [bytes, got] = take(4);
        std::memcpy(block.data() + offset, bytes, got);
        offset += 4;
      }
    }
    out.insert(out.end(), block.begin(), block.end());
    auto [bytes, got] = take(uploadSize);
    out.insert(out.end(), bytes, bytes + got);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > kMaxInput) return 0;
  fuzz::Sandbox& box = fuzz::sandbox();
  box.reset();
  const std::uint8_t mode = data[0];

  std::vector<std::uint8_t> stream(proto::PASSWORD_BLOCK_SIZE, 0);
  std::memcpy(stream.data(), fuzz::kPassword, std::strlen(fuzz::kPassword));
  if (mode & 2) {
    std::vector<std::uint8_t> requests = expand(data + 1, size - 1);
    stream.insert(stream.end(), requests.begin(), requests.end());
  } else {
    stream.insert(stream.end(), data + 1, data + size);
  }
  fuzz::serveClient(stream, box.root(mode & 1), fuzz::fuzzConfig((mode & 4) != 0));
  box.verify();
  return 0;
}
