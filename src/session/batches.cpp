#include "session/batches.h"

#include <algorithm>
#include <cstddef>
#include <deque>
#include <functional>
#include <iterator>

#include "session/listing.h"
#include "protocol.h"

namespace korvex::batches {

using namespace protocol;

namespace {

constexpr std::size_t kRequestSize = CODE_SIZE + PATH_BLOCK_SIZE;

void appendRequest(std::vector<std::uint8_t>& out, std::uint32_t code, std::string_view path) {
  const CodeBytes codeBytes = encodeCode(code);
  const RequestBlock block = pathBlock(path);
  out.insert(out.end(), codeBytes.begin(), codeBytes.end());
  out.insert(out.end(), block.data(), block.data() + block.size());
}

// What a listing contributes to a directory's entries: the names that can
// name one.
bool listable(std::string_view name) { return !name.empty() && name != "." && name != ".."; }

enum class Listed { Names, Refused, Failed };

// The reply to a listing request already sent: a refusal is its header
// alone, so the stream stays in step. `each` sees every name as it arrives
// (false: stop, the connection is closed).
Listed receiveListing(Exchange& exchange, std::vector<std::string>& names,
                      const std::function<bool(std::string_view)>& each = nullptr) {
  ReplyBytes header{};
  if (exchange.read(header.data(), REPLY_HEADER_SIZE) != Connection::Complete) return Listed::Failed;
  if (decodeReply(header.data()).status != 0) return Listed::Refused;
  const bool received = listing::receiveRecords(exchange, [&](std::string_view name) {
    if (!listable(name)) return true;
    names.emplace_back(name);
    return !each || each(name);
  });
  return received ? Listed::Names : Listed::Failed;
}

// One request of a pass: a command of the kind whose request is a path and
// whose reply is a header alone. The path outlives the pass.
struct Question {
  std::uint32_t code;
  std::string_view path;
};

// Asks questions in windows of `window` requests, two windows in flight:
// the next one is on the wire while the replies to the one before come
// back, so a pass costs about one round trip plus the bytes' time however
// many windows it has. The replies are a header each, so the phone never
// waits on us to read them while we write. Memory stays at two windows;
// everything a window needs is allocated before it is sent, so nothing but
// the wire can break it off half-way, and a break closes the connection.
//
// Questions may still be added while another reply arrives (a listing whose
// names are asked about): sendWhatFits() then hands the socket whole windows
// without waiting, so the way out carries them while the way in is busy, and
// finish() sends the rest and reads every answer in order.
class Pass {
 public:
  Pass(Exchange& exchange, int window) : exchange_(exchange), step_(static_cast<std::size_t>(std::max(window, 1))) {}

  void add(Question question) { questions_.push_back(question); }

  // Never waits. False when the connection broke (it is closed then).
  bool sendWhatFits() {
    for (;;) {
      if (unsent() > 0) {
        const int sent = exchange_.writeNow(window_.data() + windowSent_, static_cast<int>(unsent()));
        if (sent < 0) return false;
        windowSent_ += static_cast<std::size_t>(sent);
        if (unsent() > 0) return true;  // the socket is full for now
      }
      // Whole windows, since a send per name would cost a system call each;
      // the first is smaller, so the way out starts with the first names.
      const std::size_t worthASend = composed_ == 0 ? std::min(step_, kFirstWindow) : step_;
      if (questions_.size() - composed_ < worthASend || !roomInFlight()) return true;
      compose();
    }
  }

  // Sends what is left and reads every reply, in the questions' order.
  bool finish(std::vector<ReplyHeader>& replies) {
    replies.assign(questions_.size(), ReplyHeader{});
    std::vector<std::uint8_t> answers;
    while (answered_ < questions_.size()) {
      if (unsent() > 0) {
        if (!exchange_.write(window_.data() + windowSent_, static_cast<int>(unsent()))) return false;
        windowSent_ = window_.size();
        continue;
      }
      if (composed_ < questions_.size() && roomInFlight()) {
        compose();
        continue;
      }
      const std::size_t count = std::min(step_, composed_ - answered_);
      answers.resize(count * REPLY_HEADER_SIZE);
      if (exchange_.read(answers.data(), static_cast<int>(answers.size())) != Connection::Complete) return false;
      for (std::size_t i = 0; i < count; ++i) {
        replies[answered_ + i] = decodeReply(answers.data() + i * REPLY_HEADER_SIZE);
      }
      answered_ += count;
    }
    return true;
  }

 private:
  static constexpr std::size_t kWindowsInFlight = 2;
  static constexpr std::size_t kFirstWindow = 32;

  std::size_t unsent() const { return window_.size() - windowSent_; }
  bool roomInFlight() const { return composed_ - answered_ < kWindowsInFlight * step_; }

  // The next window's requests, as many as are known and fit in flight.
  void compose() {
    const std::size_t count = std::min({step_, questions_.size() - composed_, kWindowsInFlight * step_ - (composed_ - answered_)});
    window_.clear();
    window_.reserve(count * kRequestSize);
    for (std::size_t i = composed_; i < composed_ + count; ++i) appendRequest(window_, questions_[i].code, questions_[i].path);
    windowSent_ = 0;
    composed_ += count;
  }

  Exchange& exchange_;
  const std::size_t step_;
  std::vector<Question> questions_;
  std::vector<std::uint8_t> window_;  // the requests composed last
  std::size_t windowSent_ = 0;        // how much of them went out
  std::size_t composed_ = 0;          // questions put in a window
  std::size_t answered_ = 0;
};

bool ask(Exchange& exchange, const std::vector<Question>& questions, int window, std::vector<ReplyHeader>& replies) {
  Pass pass(exchange, window);
  for (const Question& question : questions) pass.add(question);
  return pass.finish(replies);
}

std::vector<Question> questionsOf(std::uint32_t code, const std::vector<std::string_view>& paths) {
  std::vector<Question> questions;
  questions.reserve(paths.size());
  for (std::string_view path : paths) questions.push_back({code, path});
  return questions;
}

std::string joinPath(std::string_view directory, std::string_view name) {
  std::string joined(directory);
  if (!joined.empty() && joined.back() != '/') joined += '/';
  joined += name;
  return joined;
}

}  // namespace

Outcome entries(Exchange& exchange, std::string_view path, std::vector<Entry>& out, int window) {
  out.clear();
  if (!pathFits(path)) return Outcome::TooLong;
  std::vector<std::uint8_t> listings;
  appendRequest(listings, CMD_LIST_DIRS, path);
  appendRequest(listings, CMD_LIST_FILES, path);
  if (!exchange.write(listings.data(), static_cast<int>(listings.size()))) return Outcome::Failed;

  // Both replies are read whatever the first says: the second is on its way.
  std::vector<std::string> directories;
  const Listed listedDirectories = receiveListing(exchange, directories);
  if (listedDirectories == Listed::Failed) return Outcome::Failed;

  // The files' size requests go out while their names still arrive, when
  // every name is sure to fit one: the way out is idle during a listing.
  // Otherwise a name that does not fit is found before anything is sent.
  const bool askWhileListing = listedDirectories == Listed::Names && path.size() + 1 + MAX_NAME_LENGTH <= MAX_PATH_LENGTH;
  std::vector<std::string> files;
  std::deque<std::string> sized;  // stays where it is while the pass holds views of it
  Pass pass(exchange, window);
  const auto askSize = [&](std::string_view name) {
    sized.push_back(joinPath(path, name));
    pass.add({CMD_FILE_SIZE, sized.back()});
  };
  const Listed listedFiles = receiveListing(exchange, files, [&](std::string_view name) {
    if (!askWhileListing) return true;
    askSize(name);
    return pass.sendWhatFits();
  });
  if (listedFiles == Listed::Failed) return Outcome::Failed;
  if (listedDirectories == Listed::Refused || listedFiles == Listed::Refused) return Outcome::Refused;

  if (!askWhileListing) {
    for (const std::string& name : files) {
      if (!pathFits(joinPath(path, name))) return Outcome::TooLong;  // no size could be asked for it
    }
    for (const std::string& name : files) askSize(name);
  }
  std::vector<ReplyHeader> replies;
  if (!pass.finish(replies)) return Outcome::Failed;

  out.reserve(directories.size() + files.size());
  for (std::string& name : directories) out.push_back({std::move(name), 0, true});
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (replies[i].status == 0) out.push_back({std::move(files[i]), replies[i].value, false});
  }
  return Outcome::Done;
}

Outcome sizes(Exchange& exchange, const std::vector<std::string_view>& paths, std::vector<std::int64_t>& sizes,
              int window) {
  sizes.assign(paths.size(), -1);
  if (!std::all_of(paths.begin(), paths.end(), pathFits)) return Outcome::TooLong;
  std::vector<ReplyHeader> replies;
  if (!ask(exchange, questionsOf(CMD_FILE_SIZE, paths), window, replies)) return Outcome::Failed;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (replies[i].status == 0) sizes[i] = replies[i].value;
  }
  return Outcome::Done;
}

Outcome kinds(Exchange& exchange, const std::vector<std::string_view>& paths, std::vector<PathKind>& kinds,
              int window) {
  kinds.assign(paths.size(), PathKind{});
  if (!std::all_of(paths.begin(), paths.end(), pathFits)) return Outcome::TooLong;
  // Three questions a path, in the order their answers are weighed: one
  // round trip however the path turns out.
  constexpr std::uint32_t kAsked[] = {CMD_IS_DIR, CMD_FILE_SIZE, CMD_EXISTS};
  std::vector<Question> questions;
  questions.reserve(paths.size() * std::size(kAsked));
  for (std::string_view path : paths) {
    for (std::uint32_t code : kAsked) questions.push_back({code, path});
  }
  std::vector<ReplyHeader> replies;
  if (!ask(exchange, questions, window, replies)) return Outcome::Failed;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const ReplyHeader& directory = replies[3 * i];
    const ReplyHeader& size = replies[3 * i + 1];
    const ReplyHeader& exists = replies[3 * i + 2];
    if (directory.status == 1) {
      kinds[i] = {Kind::Directory, 0};
    } else if (size.status == 0) {
      kinds[i] = {Kind::File, size.value};
    } else if (exists.status == 1) {
      kinds[i] = {Kind::Unsized, 0};
    }
  }
  return Outcome::Done;
}

}  // namespace korvex::batches
