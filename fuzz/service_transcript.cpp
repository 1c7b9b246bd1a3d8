#include "service_transcript.h"

#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "file_ops.h"
#include "protocol.h"
#include "service_sandbox.h"

namespace fuzz {
namespace {

namespace proto = korvex::protocol;
using Bytes = std::vector<std::uint8_t>;
using Names = std::vector<std::string>;

// One of the two streams, read front to back.
class Cursor {
 public:
  explicit Cursor(const Bytes& bytes) : bytes_(bytes) {}
  std::size_t left() const { return bytes_.size() - at_; }
  // The next `n` bytes; null when fewer are left (nothing is taken then).
  const std::uint8_t* take(std::size_t n) {
    static const std::uint8_t none = 0;
    if (left() < n) return nullptr;
    const std::uint8_t* bytes = n == 0 ? &none : bytes_.data() + at_;
    at_ += n;
    return bytes;
  }

 private:
  const Bytes& bytes_;
  std::size_t at_ = 0;
};

// What the answers since the last change said about one path: each slot is
// empty until asked, then holds the answer, where an empty inner value is a
// refusal.
struct Known {
  std::optional<bool> exists;
  std::optional<bool> directory;
  std::optional<bool> space;  // the space request answered
  std::optional<std::optional<std::uint32_t>> size;
  std::optional<std::optional<Bytes>> content;
  std::optional<std::optional<Names>> files, dirs;
};

template <typename T>
bool answered(const std::optional<std::optional<T>>& slot) {
  return slot && slot->has_value();
}

template <typename T>
bool refused(const std::optional<std::optional<T>>& slot) {
  return slot && !slot->has_value();
}

// The same question, asked again with nothing changed, gets the same answer.
template <typename T>
void learn(std::optional<T>& slot, T answer, const char* what) {
  if (slot) {
    check(*slot == answer, what);
  } else {
    slot = std::move(answer);
  }
}

void checkAgrees(const Known& k) {
  if (k.exists == false) {
    check(k.directory != true, "a path that does not exist is a directory");
    check(!answered(k.size) && !answered(k.content), "a path that does not exist has a size or a download");
    check(!answered(k.files) && !answered(k.dirs), "a path that does not exist is listed");
    check(k.space != true, "a path that does not exist has free space");
  }
  if (k.exists == true) check(k.space != false, "a path that exists has no free space");
  if (k.directory == true) {
    check(k.exists != false, "a directory does not exist");
    check(!answered(k.size) && !answered(k.content), "a directory has a size or a download");
    check(!refused(k.files) && !refused(k.dirs), "a directory cannot be listed");
  }
  if (k.directory == false) check(!answered(k.files) && !answered(k.dirs), "what is no directory is listed");
  if (k.size && k.content) {
    check(k.size->has_value() == k.content->has_value(), "one of size and download refused, the other answered");
    if (answered(k.size)) check(**k.size == (*k.content)->size(), "a download of another size than the size answered");
  }
  check(!(answered(k.files) && refused(k.dirs)) && !(refused(k.files) && answered(k.dirs)),
        "one listing of a directory answered, the other refused");
}

class Walk {
 public:
  Walk(const Bytes& requests, const Bytes& replies, bool powerExits)
      : in_(requests), out_(replies), powerExits_(powerExits) {}

  void run(bool loggedIn) {
    if (!loggedIn) {
      check(out_.left() == 0, "a refused login was answered");
      return;
    }
    const std::uint8_t* login = reply(proto::LOGIN_REPLY_SIZE + proto::DEVICE_NAME_SIZE, "the login went unanswered");
    check(proto::decodeReply(login).status == 0, "the login refused");
    check(proto::fieldText(login + proto::LOGIN_REPLY_SIZE, proto::DEVICE_NAME_SIZE) == "fuzz", "the device name");
    for (;;) {
      const std::uint8_t* codeBytes = in_.take(proto::CODE_SIZE);
      if (!codeBytes) break;
      const std::uint32_t code = proto::getWord(codeBytes);
      if (code > proto::kLastCommandCode) break;
      const std::uint8_t* block = in_.take(static_cast<std::size_t>(proto::requestBlockSize(code)));
      // A request cut short or with a path field lacking its NUL ends the connection.
      if (!block || !proto::requestFieldsTerminated(code, block)) break;
      if (!answer(code, block)) break;
    }
    check(out_.left() == 0, "the service answered more than was asked");
  }

 private:
  const std::uint8_t* reply(std::size_t size, const char* what) {
    const std::uint8_t* bytes = out_.take(size);
    check(bytes != nullptr, what);
    return bytes;
  }

  proto::ReplyHeader header() {
    return proto::decodeReply(reply(proto::REPLY_HEADER_SIZE, "a request went unanswered"));
  }

  // A status that is a plain yes or no.
  proto::ReplyHeader verdict() {
    const proto::ReplyHeader h = header();
    check(h.status == 0 || h.status == 1, "a status other than 0 and 1");
    return h;
  }

  Known& known(std::string_view path) { return known_[std::string(path)]; }

  // False when the connection ends after this request.
  bool answer(std::uint32_t code, const std::uint8_t* block) {
    const std::string_view path = proto::decodePath(block);
    switch (code) {
      case proto::CMD_KEEPALIVE:
        check(header().status == 0, "a keep-alive refused");
        return true;
      case proto::CMD_RENAME:
      case proto::CMD_CHOWN:
        // A rename may join two spellings of one path: nothing is known after it.
        if (code == proto::CMD_RENAME) known_.clear();
        verdict();
        return true;
      case proto::CMD_DELETE_FILE:
      case proto::CMD_DELETE_DIR:
      case proto::CMD_MAKE_DIR: {
        known_.clear();
        if (verdict().status != 0) return true;
        Known& k = known(path);
        k.exists = code == proto::CMD_MAKE_DIR;
        if (code == proto::CMD_MAKE_DIR) {
          k.directory = true;
          k.files = k.dirs = Names{};
        }
        return true;
      }
      case proto::CMD_LIST_FILES:
      case proto::CMD_LIST_DIRS: {
        Known& k = known(path);
        learn(code == proto::CMD_LIST_FILES ? k.files : k.dirs, listing(), "a listing changed with nothing changed");
        checkAgrees(k);
        return true;
      }
      case proto::CMD_FILE_SIZE: {
        const proto::ReplyHeader h = verdict();
        Known& k = known(path);
        learn(k.size, h.status == 0 ? std::optional(h.value) : std::nullopt, "a size changed with nothing changed");
        checkAgrees(k);
        return true;
      }
      case proto::CMD_IS_DIR:
      case proto::CMD_EXISTS: {
        const proto::ReplyHeader h = verdict();
        Known& k = known(path);
        learn(code == proto::CMD_IS_DIR ? k.directory : k.exists, h.status == 1, "a yes turned no with nothing changed");
        checkAgrees(k);
        return true;
      }
      case proto::CMD_DOWNLOAD: {
        const proto::ReplyHeader h = verdict();
        std::optional<Bytes> content;
        if (h.status == 0) {
          const std::uint8_t* data = reply(h.value, "a download shorter than its size");
          content.emplace(data, data + h.value);
        }
        Known& k = known(path);
        learn(k.content, std::move(content), "a download changed with nothing changed");
        checkAgrees(k);
        return true;
      }
      case proto::CMD_UPLOAD:
        return upload(proto::decodeUpload(block));
      case proto::CMD_SPACE_SIZE: {
        const auto kib = static_cast<std::int32_t>(proto::getWord(reply(proto::SPACE_REPLY_SIZE, "a request went unanswered")));
        check(kib >= -1, "free space below -1");
        Known& k = known(path);
        learn(k.space, kib >= 0, "free space refused, then answered, with nothing changed");
        checkAgrees(k);
        return true;
      }
      case proto::CMD_SHUTDOWN:
      case proto::CMD_REBOOT:
      case proto::CMD_RESTART:
        check(header().status == 1, "a power command answered other than 1");
        return !powerExits_;
    }
    return false;
  }

  std::optional<Names> listing() {
    if (verdict().status != 0) return std::nullopt;
    const std::uint32_t count = proto::getWord(reply(proto::LIST_COUNT_SIZE, "a listing without its count"));
    const std::uint8_t* records = reply(std::size_t{count} * proto::NAME_RECORD_SIZE, "a listing short of its count");
    Names names;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint8_t* record = records + std::size_t{i} * proto::NAME_RECORD_SIZE;
      check(std::memchr(record, 0, proto::NAME_RECORD_SIZE) != nullptr, "a listed name without its NUL");
      const std::string name(proto::fieldText(record, proto::NAME_RECORD_SIZE));
      check(!name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos,
            "a listed name that is no plain name");
      check(!korvexd::isUploadTempName(name), "an upload in progress listed");
      check(names.empty() || names.back() < name, "a listing not sorted, or with a name twice");
      names.push_back(name);
    }
    return names;
  }

  bool upload(const proto::UploadRequest& request) {
    if (verdict().status != 0) return true;  // its data is read as the requests that follow
    const std::uint8_t* data = in_.take(request.size);
    if (!data) return false;  // cut inside its data: the service closes
    known_.clear();
    Known& k = known(request.path);
    k.exists = true;
    k.directory = false;
    k.size = request.size;
    k.content = Bytes(data, data + request.size);
    return true;
  }

  Cursor in_, out_;
  bool powerExits_;
  std::map<std::string, Known> known_;
};

}  // namespace

void checkTranscript(const std::vector<std::uint8_t>& requests, const std::vector<std::uint8_t>& replies,
                     bool loggedIn, bool powerExits) {
  Walk(requests, replies, powerExits).run(loggedIn);
}

}  // namespace fuzz
