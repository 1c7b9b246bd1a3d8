// Wire layouts of the phone file service: command codes, request blocks,
// replies and the login handshake. Pure functions over byte buffers; nothing
// here touches a socket, so both the library and the reference service use it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace korvex::protocol {

enum CommandCode : std::uint32_t {
  CMD_KEEPALIVE = 0,
  CMD_RENAME = 1,
  CMD_DELETE_FILE = 2,
  CMD_DELETE_DIR = 3,
  CMD_LIST_FILES = 4,
  CMD_FILE_SIZE = 5,
  CMD_MAKE_DIR = 6,
  CMD_LIST_DIRS = 7,
  CMD_IS_DIR = 8,
  CMD_EXISTS = 9,
  CMD_DOWNLOAD = 10,
  CMD_UPLOAD = 11,
  CMD_SPACE_SIZE = 12,
  CMD_CHOWN = 13,
  CMD_SHUTDOWN = 14,
  CMD_REBOOT = 15,
  CMD_RESTART = 16,
};
constexpr std::uint32_t kLastCommandCode = CMD_RESTART;

constexpr std::uint16_t SERVICE_PORT = 2323;
constexpr int IO_TIMEOUT_MS = 3000;
constexpr int KEEPALIVE_PERIOD_MS = 1500;
constexpr int CHUNK_SIZE = 1500;

constexpr int CODE_SIZE = 4;
constexpr int PASSWORD_BLOCK_SIZE = 256;
constexpr int LOGIN_REPLY_SIZE = 40;
constexpr int DEVICE_NAME_SIZE = 64;
constexpr int REPLY_HEADER_SIZE = 40;
constexpr int SPACE_REPLY_SIZE = 4;
constexpr int LIST_COUNT_SIZE = 4;
constexpr int NAME_RECORD_SIZE = 256;

constexpr int PATH_FIELD_SIZE = 1024;
constexpr int PATH_BLOCK_SIZE = PATH_FIELD_SIZE;
constexpr int RENAME_BLOCK_SIZE = 2 * PATH_FIELD_SIZE;
constexpr int DELETE_DIR_BLOCK_SIZE = PATH_FIELD_SIZE + 4;
constexpr int UPLOAD_BLOCK_SIZE = PATH_FIELD_SIZE + 4;
constexpr int CHOWN_BLOCK_SIZE = PATH_FIELD_SIZE + 8;
constexpr int MAX_BLOCK_SIZE = RENAME_BLOCK_SIZE;

// Longest strings the library sends, in bytes without the NUL.
constexpr std::size_t MAX_PATH_LENGTH = 1022;
constexpr std::size_t MAX_RENAME_DEST_LENGTH = 254;
constexpr std::size_t MAX_PASSWORD_LENGTH = PASSWORD_BLOCK_SIZE - 1;
constexpr std::size_t MAX_NAME_LENGTH = NAME_RECORD_SIZE - 1;
constexpr std::size_t MAX_DEVICE_NAME_LENGTH = DEVICE_NAME_SIZE - 1;

// Paths longer than this are refused before anything is sent.
inline bool pathFits(std::string_view path) { return path.size() <= MAX_PATH_LENGTH; }

inline void putWord(std::uint8_t* at, std::uint32_t v) {
  at[0] = static_cast<std::uint8_t>(v);
  at[1] = static_cast<std::uint8_t>(v >> 8);
  at[2] = static_cast<std::uint8_t>(v >> 16);
  at[3] = static_cast<std::uint8_t>(v >> 24);
}

inline std::uint32_t getWord(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

using CodeBytes = std::array<std::uint8_t, CODE_SIZE>;

inline CodeBytes encodeCode(std::uint32_t code) {
  CodeBytes bytes{};
  putWord(bytes.data(), code);
  return bytes;
}

// A zero-filled request block of one of the fixed sizes, filled in place.
class RequestBlock {
 public:
  explicit RequestBlock(int size) : size_(size) {}

  // Copies `text` with its NUL to `offset`; the caller has checked the bound.
  void putString(int offset, std::string_view text) {
    std::memcpy(bytes_.data() + offset, text.data(), text.size());
  }
  void putWord(int offset, std::uint32_t v) { protocol::putWord(bytes_.data() + offset, v); }

  const std::uint8_t* data() const { return bytes_.data(); }
  int size() const { return size_; }
  std::span<const std::uint8_t> bytes() const { return {bytes_.data(), static_cast<std::size_t>(size_)}; }

 private:
  std::array<std::uint8_t, MAX_BLOCK_SIZE> bytes_{};
  int size_;
};

inline RequestBlock pathBlock(std::string_view path) {
  RequestBlock block(PATH_BLOCK_SIZE);
  block.putString(0, path);
  return block;
}

inline RequestBlock renameBlock(std::string_view source, std::string_view dest) {
  RequestBlock block(RENAME_BLOCK_SIZE);
  block.putString(0, source);
  block.putString(PATH_FIELD_SIZE, dest);
  return block;
}

// DELETE_DIR and UPLOAD: a path field, then one word.
inline RequestBlock pathWordBlock(int size, std::string_view path, std::uint32_t word) {
  RequestBlock block(size);
  block.putString(0, path);
  block.putWord(PATH_FIELD_SIZE, word);
  return block;
}

inline RequestBlock deleteDirBlock(std::string_view path, bool recursive) {
  return pathWordBlock(DELETE_DIR_BLOCK_SIZE, path, recursive ? 1u : 0u);
}

inline RequestBlock uploadBlock(std::string_view path, std::uint32_t size) {
  return pathWordBlock(UPLOAD_BLOCK_SIZE, path, size);
}

inline RequestBlock chownBlock(std::string_view path, std::int32_t owner, std::int32_t group) {
  RequestBlock block(CHOWN_BLOCK_SIZE);
  block.putString(0, path);
  block.putWord(PATH_FIELD_SIZE, static_cast<std::uint32_t>(owner));
  block.putWord(PATH_FIELD_SIZE + 4, static_cast<std::uint32_t>(group));
  return block;
}

// Size of the request block that follows each code; 0 when none does.
constexpr int requestBlockSize(std::uint32_t code) {
  switch (code) {
    case CMD_RENAME: return RENAME_BLOCK_SIZE;
    case CMD_DELETE_DIR: return DELETE_DIR_BLOCK_SIZE;
    case CMD_UPLOAD: return UPLOAD_BLOCK_SIZE;
    case CMD_CHOWN: return CHOWN_BLOCK_SIZE;
    case CMD_KEEPALIVE:
    case CMD_SHUTDOWN:
    case CMD_REBOOT:
    case CMD_RESTART: return 0;
    default: return PATH_BLOCK_SIZE;
  }
}

// The text of a fixed-size field up to its first NUL; a field without a NUL
// yields its first `size - 1` bytes, so the name always fits a buffer of `size`.
inline std::string_view fieldText(const std::uint8_t* field, std::size_t size) {
  const auto* begin = reinterpret_cast<const char*>(field);
  const void* nul = std::memchr(begin, 0, size);
  std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - begin) : size - 1;
  return {begin, length};
}

// Whether every path field of a request block holds its NUL: a field
// without one is not delimited text, and whoever sent it is out of step.
// `block` holds requestBlockSize(code) bytes.
inline bool requestFieldsTerminated(std::uint32_t code, const std::uint8_t* block) {
  if (requestBlockSize(code) == 0) return true;
  if (!std::memchr(block, 0, PATH_FIELD_SIZE)) return false;
  return code != CMD_RENAME || std::memchr(block + PATH_FIELD_SIZE, 0, PATH_FIELD_SIZE);
}

// The fields of a request block, as the service reads what the builders
// above wrote. Each decoder reads only its command's block; the path is the
// text up to the field's NUL (see fieldText).
struct RenameRequest {
  std::string_view source, dest;
};
struct DeleteDirRequest {
  std::string_view path;
  bool recursive = false;
};
struct UploadRequest {
  std::string_view path;
  std::uint32_t size = 0;
};
struct ChownRequest {
  std::string_view path;
  std::int32_t owner = -1, group = -1;
};

inline std::string_view decodePath(const std::uint8_t* block) { return fieldText(block, PATH_FIELD_SIZE); }

inline RenameRequest decodeRename(const std::uint8_t* block) {
  return {decodePath(block), decodePath(block + PATH_FIELD_SIZE)};
}

inline DeleteDirRequest decodeDeleteDir(const std::uint8_t* block) {
  return {decodePath(block), getWord(block + PATH_FIELD_SIZE) != 0};
}

inline UploadRequest decodeUpload(const std::uint8_t* block) {
  return {decodePath(block), getWord(block + PATH_FIELD_SIZE)};
}

inline ChownRequest decodeChown(const std::uint8_t* block) {
  return {decodePath(block), static_cast<std::int32_t>(getWord(block + PATH_FIELD_SIZE)),
          static_cast<std::int32_t>(getWord(block + PATH_FIELD_SIZE + 4))};
}

struct ReplyHeader {
  std::int32_t status = 0;
  std::uint32_t value = 0;
};

using ReplyBytes = std::array<std::uint8_t, REPLY_HEADER_SIZE>;

inline ReplyHeader decodeReply(const std::uint8_t* bytes) {
  return {static_cast<std::int32_t>(getWord(bytes)), getWord(bytes + 4)};
}

inline ReplyBytes encodeReply(std::int32_t status, std::uint32_t value) {
  ReplyBytes bytes{};
  putWord(bytes.data(), static_cast<std::uint32_t>(status));
  putWord(bytes.data() + 4, value);
  return bytes;
}

using PasswordBlock = std::array<std::uint8_t, PASSWORD_BLOCK_SIZE>;

// The caller has checked the password against MAX_PASSWORD_LENGTH.
inline PasswordBlock encodePassword(std::string_view password) {
  PasswordBlock block{};
  std::memcpy(block.data(), password.data(), password.size());
  return block;
}

// The password a login block carries; nothing when the block holds no NUL.
inline std::optional<std::string_view> decodePassword(const PasswordBlock& block) {
  if (!std::memchr(block.data(), 0, block.size())) return std::nullopt;
  return fieldText(block.data(), block.size());
}

using NameRecord = std::array<std::uint8_t, NAME_RECORD_SIZE>;

inline NameRecord encodeName(std::string_view name) {
  NameRecord record{};
  std::memcpy(record.data(), name.data(), std::min(name.size(), MAX_NAME_LENGTH));
  return record;
}

using DeviceNameBlock = std::array<std::uint8_t, DEVICE_NAME_SIZE>;

inline DeviceNameBlock encodeDeviceName(std::string_view name) {
  DeviceNameBlock block{};
  std::memcpy(block.data(), name.data(), std::min(name.size(), MAX_DEVICE_NAME_LENGTH));
  return block;
}

}  // namespace korvex::protocol
