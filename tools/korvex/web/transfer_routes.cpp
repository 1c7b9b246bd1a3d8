// Downloads stream from the phone through a scratch file read as it grows;
// uploads land whole in a scratch file before anything goes to the phone.
#include <atomic>
#include <charconv>
#include <chrono>
#include <thread>
#include <vector>

#include "api_routes.h"
#include "browser_paths.h"
#include "content_types.h"
#include "growing_file.h"
#include "refusals.h"

namespace korvex::web {

namespace {

using namespace std::chrono_literals;
using Request = httplib::Request;
using Response = httplib::Response;
using Clock = std::chrono::steady_clock;

// A copy whose phone side moves no byte for this long is given up.
constexpr auto kStallLimit = 60s;
// A copy still starting after this long is given up: its own connection or
// login failed, and the library leaves such a copy starting for ever. The
// client's --start-timeout and the mount's default.
constexpr auto kStartLimit = 10s;
// What one read of a download hands to the socket: the whole memory a
// download holds.
constexpr std::size_t kChunk = 64 * 1024;
// The largest file the phone's 32-bit sizes describe (4 GiB - 1 reads as a
// failure).
constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFEull;

void removeQuietly(const std::filesystem::path& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

// An early answer to an upload whose body was not read: the connection
// cannot carry another request after it.
void refuseUpload(Response& response, const ApiError& error) {
  response.set_header("Connection", "close");
  sendError(response, error);
}

// When to give up a copy that has not ended: still starting after
// kStartLimit, nothing moved for kStallLimit, or the server stopping.
class CopyWatch {
 public:
  explicit CopyWatch(const std::atomic<bool>& stopping) : stopping_(stopping) {}
  bool givenUp(const korvex::Progress& progress) {
    const Clock::time_point now = Clock::now();
    if (stopping_) return true;
    if (progress.phase == korvex::Progress::Phase::starting) return now - started_ > kStartLimit;
    if (progress.done != lastDone_) {
      lastDone_ = progress.done;
      lastChange_ = now;
      return false;
    }
    return now - lastChange_ > kStallLimit;
  }

 private:
  const std::atomic<bool>& stopping_;
  const Clock::time_point started_ = Clock::now();
  Clock::time_point lastChange_ = started_;
  std::uint32_t lastDone_ = 0;
};

// One download in flight: the phone's copy into the scratch directory and
// the reader that follows it. Lives until the response is done or the
// client went away; then the copy is stopped and its files removed.
struct Download {
  Download(SlotHold hold, std::filesystem::path directory, const std::atomic<bool>& stopping)
      : slot(std::move(hold)), dir(std::move(directory)), file(dir), buffer(kChunk), watch(stopping) {}
  ~Download() {
    copy.cancel();  // stops the phone side; the library drops its temporary file
    removeQuietly(dir);
  }

  // Hands the bytes at `offset` to the sink as soon as they are on disk;
  // false stops the response (the copy failed or stalled, or the client is
  // gone).
  bool provide(std::size_t offset, std::size_t length, httplib::DataSink& sink) {
    for (;;) {
      const std::size_t got = file.readAt(offset, buffer.data(), std::min(length, buffer.size()));
      if (got > 0) return sink.write(buffer.data(), got);
      const korvex::Progress progress = copy.progress();
      if (progress.phase == korvex::Progress::Phase::failed) return false;
      if (progress.phase == korvex::Progress::Phase::done) {
        // The last bytes may have landed (and the file been renamed into
        // place) between the read and the look at the copy; none after the
        // copy is done means the file changed on the phone since its size
        // was read.
        const std::size_t last = file.readAt(offset, buffer.data(), std::min(length, buffer.size()));
        return last > 0 && sink.write(buffer.data(), last);
      }
      if (watch.givenUp(progress)) return false;
      std::this_thread::sleep_for(5ms);
    }
  }

  SlotHold slot;
  std::filesystem::path dir;
  GrowingFile file;
  std::vector<char> buffer;
  korvex::Transfer copy;
  CopyWatch watch;
};

void download(WebContext& context, const Request& request, Response& response) {
  const std::optional<std::string> path = pathParam(request, response);
  if (!path) return;
  const SessionRef phone = sessionFor(context, response);
  if (!phone) return;
  const korvex::Result<korvex::PathStatus> status = phone->status(*path);
  if (!status || status->kind == korvex::PathKind::missing || status->kind == korvex::PathKind::directory) {
    return sendError(response, refusal(*phone, status ? korvex::Errc::refused : status.error(), Operation::download, *path));
  }
  if (status->kind == korvex::PathKind::unsized) {
    return sendError(response, {409, "too_large", *path + ": the phone gives no size for it (4 GiB or more)"});
  }
  const std::string name = korvex::base_name(*path);
  const std::string_view type = contentType(name);
  const bool view = request.get_param_value("view") == "1" && viewable(type);
  response.set_header("Content-Disposition", contentDisposition(view ? "inline" : "attachment", name));
  // What is shown in the tab runs nothing and loads nothing.
  response.set_header("Content-Security-Policy", "sandbox; default-src 'none'; img-src 'self'; style-src 'unsafe-inline'");
  const std::string shownType = view ? std::string(type) : "application/octet-stream";
  if (status->size == 0) return response.set_content("", shownType);

  SlotHold slot(context.downloads);
  if (!slot) return sendError(response, {503, "busy", "too many downloads at once; try again when one is done"});
  auto copy = std::make_shared<Download>(std::move(slot), context.scratch.fresh("download"), context.stopping);
  std::error_code made;
  std::filesystem::create_directory(copy->dir, made);
  if (made) return sendError(response, refusal(*phone, korvex::Errc::local_file, Operation::download, *path));
  korvex::Result<korvex::Transfer> started = phone->start_download(*path, copy->dir / "data");
  if (!started) return sendError(response, refusal(*phone, started.error(), Operation::download, *path));
  copy->copy = std::move(started).value();
  response.set_content_provider(
      status->size, shownType,
      [copy](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        return copy->provide(offset, length, sink);
      },
      // Drops the provider's share too: the copy ends with the response.
      [copy](bool) mutable { copy.reset(); });
}

// The announced body length: digits only, at most what the phone can hold.
std::optional<std::uint64_t> announcedLength(const Request& request) {
  if (!request.has_header("Content-Length")) return std::nullopt;
  const std::string text = request.get_header_value("Content-Length");
  std::uint64_t length = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), length);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return length;
}

// Waits for an upload the phone confirms; a copy the watch gives up is
// stopped.
korvex::Status finish(korvex::Transfer& copy, const std::atomic<bool>& stopping) {
  CopyWatch watch(stopping);
  for (;;) {
    const korvex::Status waited = copy.wait(100ms);
    if (waited.error() != korvex::Errc::timed_out) return waited;
    if (watch.givenUp(copy.progress())) {
      copy.cancel();
      return korvex::Errc::copy_failed;
    }
  }
}

void upload(WebContext& context, const Request& request, Response& response, const httplib::ContentReader& reader) {
  const std::optional<std::string> folder = pathParam(request, response);
  if (!folder) return response.set_header("Connection", "close");
  const std::optional<std::string> path = childPath(*folder, request.get_param_value("name"));
  if (!path) return refuseUpload(response, badName());
  const std::optional<std::uint64_t> length = announcedLength(request);
  if (!length) return refuseUpload(response, {411, "length_required", "an upload announces its length"});
  if (*length > kMaxFileSize) return refuseUpload(response, {413, "too_large", "the phone takes files under 4 GiB"});
  const bool replace = request.get_param_value("replace") == "1";
  const SessionRef phone = sessionFor(context, response);
  if (!phone) return response.set_header("Connection", "close");
  // Before the body is read: the folder is there, and the name is free or
  // may be replaced.
  const korvex::Result<std::vector<korvex::PathStatus>> found = phone->statuses({*path, *folder});
  if (!found) return refuseUpload(response, refusal(*phone, found.error(), Operation::upload, *path));
  if ((*found)[1].kind != korvex::PathKind::directory || (*found)[0].kind == korvex::PathKind::directory) {
    return refuseUpload(response, refusal(*phone, korvex::Errc::refused, Operation::upload, *path));
  }
  if ((*found)[0].kind != korvex::PathKind::missing && !replace) {
    return refuseUpload(response, {409, "already_exists", *path + ": exists (replace it, or skip)"});
  }
  SlotHold slot(context.uploads);
  if (!slot) return refuseUpload(response, {503, "busy", "too many uploads at once; try again when one is done"});

  const std::filesystem::path scratch = context.scratch.fresh("upload");
  std::uint64_t received = 0;
  bool written = true;
  {
    std::ofstream out(scratch, std::ios::binary);
    const bool whole = reader([&](const char* data, std::size_t size) {
      received += size;
      out.write(data, static_cast<std::streamsize>(size));
      return received <= *length && out.good();
    });
    out.close();
    written = whole && out.good() && received == *length;
  }
  // A cut upload never reaches the phone: its old file stays as it was.
  if (!written) {
    removeQuietly(scratch);
    return refuseUpload(response, {400, "upload_cut", "the upload did not arrive whole; the phone's file is unchanged"});
  }
  korvex::Result<korvex::Transfer> started = phone->start_upload(scratch, *path);
  korvex::Status sent = started ? finish(*started, context.stopping) : korvex::Status(started.error());
  if (started) started->cancel();
  removeQuietly(scratch);
  if (!sent) {
    // copy_failed says only that it failed: the refusal says why.
    const korvex::Errc error = sent.error() == korvex::Errc::copy_failed ? korvex::Errc::refused : sent.error();
    return sendError(response, refusal(*phone, error, Operation::upload, *path));
  }
  sendJson(response, {{"path", *path}, {"size", received}}, 201);
}

}  // namespace

void addTransferRoutes(httplib::Server& server, WebContext& context) {
  server.Get("/api/download", [&context](const Request& request, Response& response) {
    download(context, request, response);
  });
  server.Put("/api/upload", [&context](const Request& request, Response& response, const httplib::ContentReader& reader) {
    upload(context, request, response, reader);
  });
}

}  // namespace korvex::web
