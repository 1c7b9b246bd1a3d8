// korvexd over a whole connection: a login and then a sequence of requests,
// all pipelined, against the small root of service_sandbox.h. Where
// service_request_fuzzer feeds bytes, this one builds requests from a few
// input bytes each, naming mostly paths the root has or that earlier
// requests create, so that one input can make a directory, upload into it,
// rename, list, download and delete, and the answers can be held to each
// other (service_transcript.h).
//
// Input: a flags byte (bit 0: the openat2 resolver, else the walk; bit 1:
// power commands end the connection; bits 2-4 all set: a wrong password),
// then requests, each
//   a code byte (modulo 18; 17 is a code the service does not know),
//   per path field a byte: below 0xC0 one of kPaths; else a literal of
//     (byte & 0x1F) bytes that follow, and with bit 0x20 the field is
//     filled to its end without a NUL,
//   per 32-bit word a byte (0xFF stands for 0xFFFFFFFF),
//   for an upload a size byte and then that many bytes of data.
// The requests end where the input does, an upload's data perhaps cut short.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string_view>
#include <vector>

#include "protocol.h"
#include "service_sandbox.h"
#include "service_transcript.h"

namespace {

namespace proto = korvex::protocol;

constexpr std::size_t kMaxInput = 4096;
constexpr int kMaxRequests = 256;

// The root's entries and the links that leave it (service_sandbox.cpp),
// names to create, and spellings that must resolve with care or be refused.
constexpr std::string_view kPaths[] = {
    "/",
    "/a.txt",
    "/dir",
    "/dir/b.bin",
    "/dir/sub",
    "/fifo",
    "/inside",
    "/out",
    "/out/secret",
    "/dir/abs",
    "/dir/secret",
    "/new",
    "/new/f",
    "/new/g",
    "/dir/sub/c",
    "/moved",
    "/a.txt/x",
    "/missing/f",
    "",
    "//dir//./b.bin",
    "/dir/sub/",
    "dir/../a.txt",
    "/../outside/secret",
    "/.korvexd-upload-1-1",
    "/new/.korvexd-upload-x",
    "/out/deep",
};
constexpr std::size_t kPathCount = std::size(kPaths);

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  // The next byte; 0 past the end.
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  // Up to `n` bytes, fewer at the end.
  std::string_view bytes(std::size_t n) {
    const std::size_t start = at_;
    at_ = std::min(size_, at_ + n);
    return {reinterpret_cast<const char*>(data_ + start), at_ - start};
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

void putPath(std::uint8_t* field, Input& in) {
  const std::uint8_t choice = in.byte();
  if (choice < 0xC0) {
    const std::string_view path = kPaths[choice % kPathCount];
    std::memcpy(field, path.data(), path.size());
    return;
  }
  const std::string_view text = in.bytes(choice & 0x1F);
  std::memcpy(field, text.data(), text.size());
  if (choice & 0x20) std::memset(field + text.size(), 'x', proto::PATH_FIELD_SIZE - text.size());
}

void putWordByte(std::uint8_t* at, Input& in) {
  const std::uint8_t b = in.byte();
  proto::putWord(at, b == 0xFF ? 0xFFFFFFFFu : b);
}

std::vector<std::uint8_t> requests(Input& in) {
  std::vector<std::uint8_t> out;
  for (int n = 0; n < kMaxRequests && !in.empty(); ++n) {
    const std::uint32_t code = in.byte() % 18;
    const proto::CodeBytes codeBytes = proto::encodeCode(code);
    out.insert(out.end(), codeBytes.begin(), codeBytes.end());
    if (code > proto::kLastCommandCode) continue;
    std::vector<std::uint8_t> block(static_cast<std::size_t>(proto::requestBlockSize(code)), 0);
    std::string_view data;
    if (!block.empty()) putPath(block.data(), in);
    if (code == proto::CMD_RENAME) putPath(block.data() + proto::PATH_FIELD_SIZE, in);
    if (code == proto::CMD_DELETE_DIR) putWordByte(block.data() + proto::PATH_FIELD_SIZE, in);
    if (code == proto::CMD_CHOWN) {
      putWordByte(block.data() + proto::PATH_FIELD_SIZE, in);
      putWordByte(block.data() + proto::PATH_FIELD_SIZE + 4, in);
    }
    if (code == proto::CMD_UPLOAD) {
      const std::uint8_t size = in.byte();
      proto::putWord(block.data() + proto::PATH_FIELD_SIZE, size);
      data = in.bytes(size);
    }
    out.insert(out.end(), block.begin(), block.end());
    out.insert(out.end(), data.begin(), data.end());
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > kMaxInput) return 0;
  const bool openat2 = data[0] & 1;
  const bool powerExits = data[0] & 2;
  const bool loggedIn = (data[0] & 0x1C) != 0x1C;
  Input in(data + 1, size - 1);
  const std::vector<std::uint8_t> sent = requests(in);

  fuzz::Sandbox& box = fuzz::sandbox();
  box.reset();
  const proto::PasswordBlock password = proto::encodePassword(loggedIn ? fuzz::kPassword : "wrong");
  std::vector<std::uint8_t> stream(password.begin(), password.end());
  stream.insert(stream.end(), sent.begin(), sent.end());
  const std::vector<std::uint8_t> replies = fuzz::serveClient(stream, box.root(openat2), fuzz::fuzzConfig(powerExits));
  fuzz::checkTranscript(sent, replies, loggedIn, powerExits);
  box.verify();
  return 0;
}
