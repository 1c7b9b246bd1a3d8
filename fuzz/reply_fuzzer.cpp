// The fixed-size replies a peer sends: the 40-byte reply header and the
// login reply's 64-byte device name field. Whatever the bytes, decoding must
// stay inside the buffer and give a name that fits its field.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "protocol.h"

namespace {

namespace proto = korvex::protocol;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// A field's text: below the field's size, free of NUL, and cut at the first NUL.
void checkField(const std::uint8_t* field, std::size_t size) {
  const std::string_view text = proto::fieldText(field, size);
  check(text.size() < size);
  check(text.find('\0') == std::string_view::npos);
  const void* nul = std::memchr(field, 0, size);
  if (nul) check(text.size() == static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - field));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size >= proto::REPLY_HEADER_SIZE) {
    const proto::ReplyHeader header = proto::decodeReply(data);
    const proto::ReplyBytes again = proto::encodeReply(header.status, header.value);
    check(std::memcmp(again.data(), data, 8) == 0);
  }

  // The login reply as it arrives: 40 bytes the library ignores, then the name.
  proto::DeviceNameBlock block{};
  if (size > proto::LOGIN_REPLY_SIZE) {
    std::memcpy(block.data(), data + proto::LOGIN_REPLY_SIZE,
                std::min<std::size_t>(size - proto::LOGIN_REPLY_SIZE, block.size()));
  }
  checkField(block.data(), block.size());
  const std::string_view name = proto::fieldText(block.data(), block.size());
  check(proto::fieldText(proto::encodeDeviceName(name).data(), proto::DEVICE_NAME_SIZE) == name);

  // A field of any size, so the edges are not only those of the fixed blocks.
  if (size > 0) checkField(data, size);
  return 0;
}
