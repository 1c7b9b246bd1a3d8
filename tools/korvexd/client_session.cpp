#include "client_session.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "file_ops.h"
#include "log.h"
#include "protocol.h"

namespace korvexd {

namespace proto = korvex::protocol;

namespace {

const char* commandName(std::uint32_t code) {
  static const char* const names[] = {"KEEPALIVE", "RENAME",  "DELETE_FILE", "DELETE_DIR", "LIST_FILES",
                                      "FILE_SIZE", "MAKE_DIR", "LIST_DIRS",  "IS_DIR",     "EXISTS",
                                      "DOWNLOAD",  "UPLOAD",  "SPACE_SIZE",  "CHOWN",      "SHUTDOWN",
                                      "REBOOT",    "RESTART"};
  return code <= proto::kLastCommandCode ? names[code] : "?";
}

// Compares without stopping at the first difference, so the reply time does
// not tell how much of a guess was right.
bool samePassword(std::string_view given, std::string_view expected) {
  unsigned char diff = given.size() == expected.size() ? 0 : 1;
  for (std::size_t i = 0; i < given.size(); ++i)
    diff |= static_cast<unsigned char>(given[i] ^ expected[i % std::max<std::size_t>(expected.size(), 1)]);
  return diff == 0;
}

// A larger rest of an upload is spliced; a smaller one goes through the
// receive buffer, with any requests that follow it.
constexpr std::size_t kSpliceAbove = 64 * 1024;
constexpr std::size_t kSplicePipe = 1 << 20;     // pipe capacity asked for a spliced upload
constexpr std::size_t kRecordsPerSend = 64;

}  // namespace

ClientSession::ClientSession(int fd, std::uint64_t id, std::string peer, const Root& root, const ServiceConfig& config,
                             std::function<void()> powerOff, LoginThrottle* throttle,
                             std::function<bool()> admit)
    : wire_(fd, config.ioTimeoutMs),
      id_(id),
      peer_(std::move(peer)),
      root_(root),
      config_(config),
      powerOff_(std::move(powerOff)),
      throttle_(throttle),
      admit_(std::move(admit)),
      // Taken at once: the thread starts right after the accept.
      loginDeadline_(LoginThrottle::Clock::now() + std::chrono::milliseconds(config.loginTimeoutMs)) {}

void ClientSession::serve() {
  if (login()) {
    while (serveOne()) {
    }
  }
  // Replies held back for a burst still go out before the close (best effort:
  // the peer may be gone).
  wire_.flush();
  logLine("conn %llu: closed (%s)", static_cast<unsigned long long>(id_), closeReason_.c_str());
}

bool ClientSession::serveOne() {
  std::uint8_t codeBytes[proto::CODE_SIZE];
  Io io = wire_.readExact(codeBytes, sizeof codeBytes, config_.idleTimeoutMs);
  if (io != Io::Ok) return closeWith(io == Io::TimedOut ? "idle time-out" : describe(io));
  std::uint32_t code = proto::getWord(codeBytes);
  if (code > proto::kLastCommandCode) return closeWith("unknown command code " + std::to_string(code));

  std::uint8_t block[proto::MAX_BLOCK_SIZE] = {};  // commands without a block read it as empty
  io = wire_.readExact(block, static_cast<std::size_t>(proto::requestBlockSize(code)));
  if (io != Io::Ok) return closeWith(io == Io::TimedOut ? "stalled inside a request" : describe(io));
  if (!proto::requestFieldsTerminated(code, block))
    return closeWith(std::string(commandName(code)) + " request with a path field lacking its NUL");
  return execute(code, block);
}

bool ClientSession::login() {
  proto::PasswordBlock block{};
  // One deadline for the whole block: a client trickling a byte at a time
  // must not hold the connection longer than a silent one.
  Io io = wire_.readExactBy(block.data(), block.size(), loginDeadline_);
  if (io != Io::Ok) return closeWith(io == Io::TimedOut ? "no login in time" : describe(io));
  std::optional<std::string_view> given = proto::decodePassword(block);
  bool right = given && samePassword(*given, config_.password);
  const auto id = static_cast<unsigned long long>(id_);

  if (throttle_) {
    // Right and wrong answers wait alike, so the delay tells nothing.
    std::string address = peer_.substr(0, peer_.rfind(':'));
    auto now = LoginThrottle::Clock::now();
    LoginThrottle::Turn turn = throttle_->book(address, !right, now);
    if (!turn.answered) {
      logLine("conn %llu: login from %s closed unanswered: %d failed logins from %s still delay its answers", id,
              peer_.c_str(), turn.failures, address.c_str());
      return closeWith("login unanswered");
    }
    if (!right) {
      logLine("conn %llu: login refused from %s (failure %d from %s; its next answer waits %d ms)", id,
              peer_.c_str(), turn.failures, address.c_str(), turn.nextDelayMs);
    }
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(turn.at - now).count();
    if (wait > 0 && (io = wire_.pause(static_cast<int>(wait))) != Io::Ok) return closeWith(describe(io));
  } else if (!right) {
    logLine("conn %llu: login refused from %s", id, peer_.c_str());
  }
  if (!right) return closeWith("login refused");
  if (admit_ && !admit_()) return closeWith("dropped before its login was answered");

  std::uint8_t answer[proto::LOGIN_REPLY_SIZE + proto::DEVICE_NAME_SIZE] = {};
  proto::DeviceNameBlock name = proto::encodeDeviceName(config_.deviceName);
  std::memcpy(answer + proto::LOGIN_REPLY_SIZE, name.data(), name.size());
  io = wire_.writeAll(answer, sizeof answer);
  if (io != Io::Ok) return closeWith(describe(io));
  logLine("conn %llu: logged in from %s", id, peer_.c_str());
  return true;
}

bool ClientSession::execute(std::uint32_t code, const std::uint8_t* block) {
  // Commands whose block is more than one path field decode it themselves.
  std::string_view path = proto::decodePath(block);
  int error = 0;
  switch (code) {
    case proto::CMD_KEEPALIVE:
      return reply(0);
    case proto::CMD_RENAME:
      return serveRename(block);
    case proto::CMD_DELETE_FILE:
      return verdict(code, path, deleteFile(root_, path));
    case proto::CMD_DELETE_DIR: {
      const proto::DeleteDirRequest request = proto::decodeDeleteDir(block);
      return verdict(code, request.path, deleteDirectory(root_, request.path, request.recursive));
    }
    case proto::CMD_LIST_FILES:
    case proto::CMD_LIST_DIRS:
      return sendListing(code, path);
    case proto::CMD_FILE_SIZE: {
      std::uint32_t size = 0;
      error = fileSize(root_, path, size);
      if (error) return verdict(code, path, error);
      return reply(0, size);
    }
    case proto::CMD_MAKE_DIR:
      return verdict(code, path, makeDirectory(root_, path));
    case proto::CMD_IS_DIR:
    case proto::CMD_EXISTS: {
      bool yes = code == proto::CMD_IS_DIR ? isDirectory(root_, path, error) : exists(root_, path, error);
      // A plain "no" is an answer; a path that escapes is worth a log line.
      if (error == kEscapeError || error == ELOOP) refused(code, printable(path), describePathError(error));
      return reply(yes ? 1 : 0);
    }
    case proto::CMD_DOWNLOAD:
      return sendFile(path);
    case proto::CMD_UPLOAD: {
      const proto::UploadRequest request = proto::decodeUpload(block);
      return receiveFile(request.path, request.size);
    }
    case proto::CMD_SPACE_SIZE: {
      std::uint64_t kib = 0;
      error = freeSpaceKiB(root_, path, kib);
      if (!error && config_.capacityKiB) {
        const std::uint64_t usedKiB = (storedBytes(root_) + 1023) / 1024;
        kib = *config_.capacityKiB - std::min(*config_.capacityKiB, usedKiB);
      }
      std::int32_t answer = static_cast<std::int32_t>(std::min<std::uint64_t>(kib, INT32_MAX));
      if (error) {
        refused(code, printable(path), describePathError(error));
        answer = -1;
      }
      std::uint8_t bytes[proto::SPACE_REPLY_SIZE];
      proto::putWord(bytes, static_cast<std::uint32_t>(answer));
      Io io = wire_.writeAll(bytes, sizeof bytes);
      return io == Io::Ok || closeWith(describe(io));
    }
    case proto::CMD_CHOWN:
      return serveChown(block);
    case proto::CMD_SHUTDOWN:
    case proto::CMD_REBOOT:
    case proto::CMD_RESTART:
      if (!reply(1)) return false;
      if (!config_.powerExits) {
        logLine("conn %llu: %s answered, nothing done", static_cast<unsigned long long>(id_), commandName(code));
        return true;
      }
      // The server shuts every socket down at once: the answer leaves first.
      if (Io io = wire_.flush(); io != Io::Ok) return closeWith(describe(io));
      powerOff_();
      return closeWith(std::string(commandName(code)) + ": the service goes down");
  }
  return false;  // codes above the last were turned away by serve()
}

bool ClientSession::serveRename(const std::uint8_t* block) {
  const proto::RenameRequest request = proto::decodeRename(block);
  if (int error = renamePath(root_, request.source, request.dest)) {
    refused(proto::CMD_RENAME, printable(request.source) + " -> " + printable(request.dest),
            describePathError(error));
    return reply(1);
  }
  return reply(0);
}

bool ClientSession::serveChown(const std::uint8_t* block) {
  const proto::ChownRequest request = proto::decodeChown(block);
  if (!config_.chownAllowed) {
    refused(proto::CMD_CHOWN, printable(request.path), "the service runs as root without --allow-chown");
    return reply(0);
  }
  return verdict(proto::CMD_CHOWN, request.path, changeOwner(root_, request.path, request.owner, request.group),
                 1, 0);
}

bool ClientSession::reply(std::int32_t status, std::uint32_t value, bool more) {
  proto::ReplyBytes bytes = proto::encodeReply(status, value);
  Io io = wire_.writeAll(bytes.data(), bytes.size(), more);
  return io == Io::Ok || closeWith(describe(io));
}

bool ClientSession::verdict(std::uint32_t code, std::string_view path, int error, std::int32_t okStatus,
                         std::int32_t failStatus) {
  if (!error) return reply(okStatus);
  refused(code, printable(path), describePathError(error));
  return reply(failStatus);
}

void ClientSession::refused(std::uint32_t code, std::string_view path, const char* reason) {
  logLine("conn %llu: refused %s \"%.*s\": %s", static_cast<unsigned long long>(id_), commandName(code),
          static_cast<int>(path.size()), path.data(), reason);
}

bool ClientSession::closeWith(std::string reason) {
  closeReason_ = std::move(reason);
  return false;
}

bool ClientSession::sendListing(std::uint32_t code, std::string_view path) {
  std::vector<std::string> names;
  EntryKind kind = code == proto::CMD_LIST_FILES ? EntryKind::File : EntryKind::Directory;
  if (int error = listDirectory(root_, path, kind, names)) return verdict(code, path, error);

  if (!reply(0, 0, true)) return false;
  std::uint8_t count[proto::LIST_COUNT_SIZE];
  proto::putWord(count, static_cast<std::uint32_t>(names.size()));
  Io io = wire_.writeAll(count, sizeof count, !names.empty());
  // Records are 256 bytes however short the name: build them a batch at a
  // time rather than all at once.
  std::vector<std::uint8_t> batch;
  for (std::size_t i = 0; io == Io::Ok && i < names.size(); i += kRecordsPerSend) {
    std::size_t end = std::min(names.size(), i + kRecordsPerSend);
    batch.clear();
    for (std::size_t j = i; j < end; ++j) {
      proto::NameRecord record = proto::encodeName(names[j]);
      batch.insert(batch.end(), record.begin(), record.end());
    }
    io = wire_.writeAll(batch.data(), batch.size(), end < names.size());
  }
  return io == Io::Ok || closeWith(describe(io));
}

bool ClientSession::sendFile(std::string_view path) {
  Fd file;
  std::uint32_t size = 0;
  if (int error = openForDownload(root_, path, file, size)) return verdict(proto::CMD_DOWNLOAD, path, error);
  if (!reply(0, size, size > 0)) return false;
  Io io = wire_.sendFile(file.get(), size);
  if (io == Io::Ok) return true;
  int error = errno;
  // The size is announced: short of sending it whole, only closing keeps the
  // client from reading our next reply as file content.
  std::string why = "download of \"" + printable(path) + "\" broken: " + describe(io);
  if (io == Io::Failed) why = why + ": " + errorText(error);
  return closeWith(why);
}

bool ClientSession::receiveFile(std::string_view path, std::uint32_t length) {
  Upload upload;
  if (int error = upload.begin(root_, path, config_.newFileMode)) return verdict(proto::CMD_UPLOAD, path, error);
  if (config_.capacityKiB && storedBytes(root_) + length > *config_.capacityKiB * 1024) {
    return verdict(proto::CMD_UPLOAD, path, ENOSPC);  // ~Upload removes its temporary file
  }
  if (!reply(0)) return false;

  std::uint32_t received = 0;
  int writeError = 0;
  auto broken = [&](Io io) {
    // ~Upload removes the temporary file: the real name never held a partial file.
    return closeWith("upload of \"" + printable(path) + "\" broken after " + std::to_string(received) + " of " +
                     std::to_string(length) + " bytes: " + describe(io));
  };
  // Takes the next bytes of the file from the receive buffer; after a failed
  // write the rest is still read, to stay in step with the client.
  auto takeSome = [&]() {
    const std::uint8_t* data = nullptr;
    std::size_t got = 0;
    Io io = wire_.takeSome(length - received, data, got);
    if (io == Io::Ok) {
      if (!writeError) writeError = upload.write(data, got);
      received += static_cast<std::uint32_t>(got);
    }
    return io;
  };
  // What came with the request goes first: the socket holds only what follows.
  while (received < length && wire_.buffered() > 0) takeSome();

  if (!writeError && length - received > kSpliceAbove) {
    Fd pipeRead, pipeWrite;
    Wire::Pipe pipe;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
      pipeRead.reset(ends[0]);
      pipeWrite.reset(ends[1]);
      // A larger pipe moves more per call; the default (64 KiB) still works.
      int size = ::fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(kSplicePipe));
      if (size <= 0) size = ::fcntl(ends[1], F_GETPIPE_SZ);
      if (size > 0) pipe = {ends[0], ends[1], static_cast<std::size_t>(size)};
    }
    if (pipe.read >= 0) {
      std::size_t moved = 0;
      bool unsupported = false;
      Io io = wire_.spliceToFile(pipe, upload.fd(), length - received, moved, writeError, unsupported);
      received += static_cast<std::uint32_t>(moved);
      if (io != Io::Ok) return broken(io);
    }
  }
  // What splice did not move (all of a small file) goes through memory.
  while (received < length) {
    if (Io io = takeSome(); io != Io::Ok) return broken(io);
  }
  if (!writeError) writeError = upload.commit();
  if (!writeError) return true;
  // An upload has no closing reply: only a closed connection tells the client
  // that the file did not land, before it takes the old file for the new one.
  return closeWith("upload of \"" + printable(path) + "\" not stored: " + describePathError(writeError));
}

}  // namespace korvexd
