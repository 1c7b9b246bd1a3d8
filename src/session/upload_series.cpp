#include "session/upload_series.h"

#include <optional>

#include "protocol.h"
#include "session/streaming.h"

namespace korvex {

using namespace protocol;

namespace {

void appendRequest(std::vector<std::uint8_t>& out, std::uint32_t code, const RequestBlock& block) {
  const CodeBytes codeBytes = encodeCode(code);
  out.insert(out.end(), codeBytes.begin(), codeBytes.end());
  out.insert(out.end(), block.data(), block.data() + block.size());
}

// A file whose bytes are sent and whose size has yet to be asked.
struct Unconfirmed {
  std::size_t index;
  std::uint32_t size;
};

}  // namespace

bool uploadSeries(Exchange& exchange, const std::vector<UploadJob>& jobs, std::vector<bool>& landed) {
  landed.assign(jobs.size(), false);
  const auto data = streamBlock();
  if (!data) return true;  // nothing sent: every file failed, the connection is as it was
  std::optional<Unconfirmed> unconfirmed;
  std::vector<std::uint8_t> requests;

  // Sends the confirming request of the file before, if any, then `next`'s
  // upload request, if any; reads the confirmation. The upload's own reply
  // is left for the caller.
  auto sendAndConfirm = [&](const RequestBlock* next) {
    requests.clear();
    if (unconfirmed) appendRequest(requests, CMD_FILE_SIZE, pathBlock(jobs[unconfirmed->index].phonePath));
    if (next) appendRequest(requests, CMD_UPLOAD, *next);
    if (requests.empty()) return true;
    if (!exchange.write(requests.data(), static_cast<int>(requests.size()))) return false;
    if (!unconfirmed) return true;
    ReplyBytes reply{};
    if (exchange.read(reply.data(), REPLY_HEADER_SIZE) != Connection::Complete) return false;
    const ReplyHeader header = decodeReply(reply.data());
    landed[unconfirmed->index] = uploadLanded(&header, jobs[unconfirmed->index].phonePath, unconfirmed->size);
    unconfirmed.reset();
    return true;
  };

  for (std::size_t i = 0; i < jobs.size(); ++i) {
    UploadSource source;
    if (!openUploadSource(jobs[i].localPath, jobs[i].phonePath, source)) continue;
    const auto size = static_cast<std::uint32_t>(source.size);
    const RequestBlock block = uploadBlock(jobs[i].phonePath, size);
    if (!sendAndConfirm(&block)) return false;
    ReplyBytes reply{};
    if (exchange.read(reply.data(), REPLY_HEADER_SIZE) != Connection::Complete) return false;
    if (decodeReply(reply.data()).status != 0) continue;  // refused: the stream is in step
    switch (sendUploadBody(exchange, source, data.get(), nullptr)) {
      case BodySent::Broken: return false;
      case BodySent::Grew: break;
      case BodySent::Whole: unconfirmed = Unconfirmed{i, size};
    }
  }
  return sendAndConfirm(nullptr);
}

}  // namespace korvex
