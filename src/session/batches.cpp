#include "session/batches.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

#include "session/listing.h"
#include "session/protocol.h"

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
// alone, so the stream stays in step.
Listed receiveListing(Exchange& exchange, std::vector<std::string>& names) {
  ReplyBytes header{};
  if (exchange.read(header.data(), REPLY_HEADER_SIZE) != Connection::Complete) return Listed::Failed;
  if (decodeReply(header.data()).status != 0) return Listed::Refused;
  const bool received = listing::receiveRecords(exchange, [&](std::string_view name) {
    if (listable(name)) names.emplace_back(name);
    return true;
  });
  return received ? Listed::Names : Listed::Failed;
}

// One request of a pass: a command of the kind whose request is a path and
// whose reply is a header alone.
struct Question {
  std::uint32_t code;
  std::string_view path;
};

std::vector<Question> questionsOf(std::uint32_t code, const std::vector<std::string_view>& paths) {
  std::vector<Question> questions;
  questions.reserve(paths.size());
  for (std::string_view path : paths) questions.push_back({code, path});
  return questions;
}

// Asks every question in windows of `window` requests, two windows in
// flight: the next one is on the wire while the replies to the one before
// come back, so a pass costs about one round trip plus the bytes' time
// however many windows it has. The replies are a header each, so the phone
// never waits on us to read them while we write. Memory stays at two
// windows; everything a window needs is allocated before it is sent, so
// nothing but the wire can break it off half-way, and a break closes the
// connection.
bool ask(Exchange& exchange, const std::vector<Question>& questions, int window, std::vector<ReplyHeader>& replies) {
  constexpr std::size_t kWindowsInFlight = 2;
  const std::size_t step = static_cast<std::size_t>(std::max(window, 1));
  replies.assign(questions.size(), ReplyHeader{});
  std::vector<std::uint8_t> requests;
  std::vector<std::uint8_t> answers;
  requests.reserve(std::min(step, questions.size()) * kRequestSize);
  answers.reserve(std::min(step, questions.size()) * REPLY_HEADER_SIZE);
  std::size_t sent = 0;
  std::size_t answered = 0;
  while (answered < questions.size()) {
    if (sent < questions.size() && sent - answered < kWindowsInFlight * step) {
      const std::size_t count = std::min(step, questions.size() - sent);
      requests.clear();
      for (std::size_t i = sent; i < sent + count; ++i) appendRequest(requests, questions[i].code, questions[i].path);
      if (!exchange.write(requests.data(), static_cast<int>(requests.size()))) return false;
      sent += count;
      continue;
    }
    const std::size_t count = std::min(step, questions.size() - answered);
    answers.resize(count * REPLY_HEADER_SIZE);
    if (exchange.read(answers.data(), static_cast<int>(answers.size())) != Connection::Complete) return false;
    for (std::size_t i = 0; i < count; ++i) {
      replies[answered + i] = decodeReply(answers.data() + i * REPLY_HEADER_SIZE);
    }
    answered += count;
  }
  return true;
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
  std::vector<std::string> files;
  const Listed listedDirectories = receiveListing(exchange, directories);
  if (listedDirectories == Listed::Failed) return Outcome::Failed;
  const Listed listedFiles = receiveListing(exchange, files);
  if (listedFiles == Listed::Failed) return Outcome::Failed;
  if (listedDirectories == Listed::Refused || listedFiles == Listed::Refused) return Outcome::Refused;

  std::vector<std::string> joined;
  joined.reserve(files.size());
  for (const std::string& name : files) {
    joined.push_back(joinPath(path, name));
    if (!pathFits(joined.back())) return Outcome::TooLong;  // no size could be asked for it
  }
  const std::vector<std::string_view> paths(joined.begin(), joined.end());
  std::vector<ReplyHeader> replies;
  if (!ask(exchange, questionsOf(CMD_FILE_SIZE, paths), window, replies)) return Outcome::Failed;

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
