#include "file_copy.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "local_files.h"
#include "progress.h"
#include "progress_bar.h"
#include "text.h"

namespace korvex::cli {

namespace {

enum class Outcome { Done, Failed, NeverStarted, Cancelled };

struct Watched {
  Outcome outcome = Outcome::Failed;
  std::int64_t moved = -1;  // most bytes seen moved; -1 when it never started
  std::int64_t total = -1;
  double seconds = 0.0;     // from the start to the end of the copy
  int signal = 0;
};

// Polls the copy until it ends, fails, is cancelled or never starts; always
// releases it.
Watched watch(korvex::Transfer transfer, const std::string& name, const CopyOptions& options) {
  Watched result;
  const Clock::time_point start = Clock::now();
  ProgressBar display(options.showsBar(), start);
  for (;;) {
    const korvex::Progress state = transfer.progress();
    result.total = state.total;
    using Phase = korvex::Progress::Phase;
    const bool started = state.phase == Phase::running || state.phase == Phase::done;
    if (started) result.moved = state.done;
    if (stopSignal) {
      result.outcome = Outcome::Cancelled;
      result.signal = stopSignal;
      break;
    }
    if (state.phase == Phase::failed) {
      result.outcome = Outcome::Failed;
      break;
    }
    if (started) {
      display.update(state.done, state.total, [&](double rate, int width) {
        return progressLine(state.done, state.total, rate, width, name);
      });
      if (state.phase == Phase::done) {
        result.outcome = Outcome::Done;
        break;
      }
    } else {
      // Starting for good means the copy's own connect or login failed.
      if (secondsSince(start) > options.startTimeoutSeconds) {
        result.outcome = Outcome::NeverStarted;
        break;
      }
      display.waiting();
    }
    pause();
  }
  display.finish();
  // Cancels a copy that still runs and waits for its thread.
  transfer.cancel();
  result.seconds = secondsSince(start);
  return result;
}

std::string sizeText(std::int64_t bytes) {
  return formatBytes(bytes) + (bytes >= 1024 ? " (" + std::to_string(bytes) + " bytes)" : "");
}

void printSummary(const char* what, const std::string& from, const std::string& to, std::int64_t bytes,
                  double seconds, const CopyOptions& options) {
  if (options.json) {
    std::printf("%s\n", copySummaryJson(1, 1, bytes, seconds).c_str());
    return;
  }
  if (options.quiet) return;
  std::string line = std::string(what) + ": " + from + " -> " + to + ": " + sizeText(bytes);
  char timing[64];
  std::snprintf(timing, sizeof timing, " in %.2f s", seconds);
  line += timing;
  if (seconds > 0.0 && bytes > 0) {
    line += " (" + formatBytes(static_cast<std::int64_t>(static_cast<double>(bytes) / seconds)) + "/s)";
  }
  std::printf("%s\n", shown(line).c_str());
}

[[noreturn]] void localFailure(const std::string& what, const std::string& path, const std::string& reason) {
  throw Failure{kLocalFile, what + ": " + path + ": " + reason};
}


// `what` names the command and the file: "get: /DCIM/a.jpg".
Failure interrupted(const std::string& what, const Watched& watched) {
  const std::string when = watched.moved < 0 ? "before any byte moved"
                                             : "after " + std::to_string(watched.moved) + " of " +
                                                   std::to_string(watched.total) + " bytes";
  switch (watched.outcome) {
    case Outcome::Cancelled:
      return {kSignalBase + watched.signal, what + ": cancelled " + when};
    case Outcome::NeverStarted:
      return {kBroken, what + ": the copy did not start within the start time-out: its connection " +
                           "or login to the phone failed"};
    default:
      return {kBroken, what + ": the copy broke off " + when};
  }
}

}  // namespace

int putFile(Context& context, const std::string& localFile, const std::string& phonePath,
            const CopyOptions& options, const std::string& label) {
  const std::string& localPath = label.empty() ? localFile : label;
  const LocalStatus info = localStatus(localFile);
  if (info.kind == LocalStatus::Kind::Missing) localFailure("put", localPath, std::strerror(info.error));
  if (info.kind == LocalStatus::Kind::Directory) localFailure("put", localPath, "is a directory (use -r)");
  if (info.kind != LocalStatus::Kind::Regular) localFailure("put", localPath, "not a regular file");
  if (const int error = readableError(localFile)) localFailure("put", localPath, std::strerror(error));
  if (info.size > kMaxCopySize) localFailure("put", localPath, kTooLarge);
  const std::int64_t size = info.size;

  StopSignals signals;
  const korvex::Session& phone = context.phone();
  std::string dest = phonePath;
  // The destination and its folder in one round trip.
  std::string trimmed = dest;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const korvex::Result<std::vector<korvex::PathStatus>> statuses =
      phone.statuses({trimmed, korvex::parent_path(trimmed)});
  const auto isDirectory = [&](std::size_t i) {
    return statuses && (*statuses)[i].kind == korvex::PathKind::directory;
  };
  bool folderThere = isDirectory(1);
  if (dest.back() == '/' || isDirectory(0)) {
    if (!label.empty()) throw Failure{kUsage, "put: " + label + " -> " + dest + ": name the phone file, not a directory"};
    dest = korvex::join_path(dest, localName(localFile));
    folderThere = isDirectory(0);
  }
  if (dest.size() > korvex::kMaxPath) throw Failure{kUsage, "put: " + dest + ": phone path too long"};
  auto storeRefusal = [&] {
    const auto why = phone.why(korvex::Operation::upload, dest, {}, static_cast<std::uint64_t>(size));
    return asFailure("put", dest, why, "the phone refused to store it");
  };
  // No folder to store it in: said before the copy's own session logs in.
  if (statuses && !folderThere) throw storeRefusal();
  if (stopSignal) throw Failure{kSignalBase + stopSignal, "put: cancelled before the copy started"};

  const Clock::time_point start = Clock::now();
  if (size == 0) {
    // An empty upload reads as finished before its request is even sent, so
    // it runs on the session instead of in the background.
    if (!phone.upload(localFile, dest)) throw storeRefusal();
  } else {
    korvex::Result<korvex::Transfer> transfer = phone.start_upload(localFile, dest);
    if (!transfer) localFailure("put", localPath, "cannot be opened");
    const Watched watched = watch(std::move(transfer).value(), label.empty() ? localName(localFile) : label, options);
    // Failed before a whole block was counted: the phone turned the request
    // down, or could not store the file (its confirmation failed).
    if (watched.outcome == Outcome::Failed && watched.moved <= 0) throw storeRefusal();
    if (watched.outcome != Outcome::Done) {
      Failure failure = interrupted("put: " + localPath, watched);
      if (watched.moved > 0) failure.message += "; " + dest + " on the phone may be incomplete";
      throw failure;
    }
  }
  // The library reports an upload done only once the phone confirmed its size.
  printSummary("put", localPath, dest, size, secondsSince(start), options);
  return kOk;
}

int getFile(Context& context, const std::string& phonePath, const std::string& localPath,
            const CopyOptions& options) {
  namespace fs = std::filesystem;
  using Kind = LocalStatus::Kind;
  std::string dest = localPath;
  if (localStatus(dest).kind == Kind::Directory) {
    const auto name = localComponent(korvex::base_name(phonePath));
    if (!name) localFailure("get", phonePath, "its name cannot name a local file");
    dest = localText(localPathOf(dest) / *name);
  }
  fs::path parentPath = localPathOf(dest).parent_path();
  if (parentPath.empty()) parentPath = ".";
  const std::string parent = localText(parentPath);
  const LocalStatus directory = localStatus(parent);
  if (directory.kind == Kind::Missing) localFailure("get", parent, std::strerror(directory.error));
  if (directory.kind != Kind::Directory) localFailure("get", parent, "not a directory");
  if (const int error = writableError(parent)) localFailure("get", parent, std::strerror(error));
  const LocalStatus target = localStatus(dest);
  if (target.kind == Kind::Directory) localFailure("get", dest, "is a directory");
  if (target.kind != Kind::Missing) {
    if (const int error = writableError(dest)) localFailure("get", dest, std::strerror(error));
  }

  StopSignals signals;
  const korvex::Session& phone = context.phone();
  // Kind and size in one round trip.
  const korvex::Result<korvex::PathStatus> status = phone.status(phonePath);
  if (!status || status->kind == korvex::PathKind::missing) throw refusal(phone, "get", phonePath);
  if (status->kind == korvex::PathKind::directory) {
    throw Failure{kRefused, "get: " + phonePath + ": is a directory (use -r)"};
  }
  if (status->kind == korvex::PathKind::unsized) {
    throw refusal(phone, "get", phonePath, "the phone refused to tell its size");
  }
  const std::int64_t size = status->size;
  if (size > kMaxCopySize) throw Failure{kRefused, "get: " + phonePath + ": " + kTooLarge};
  if (stopSignal) throw Failure{kSignalBase + stopSignal, "get: cancelled before the copy started"};

  korvex::Result<korvex::Transfer> transfer = phone.start_download(phonePath, dest);
  if (!transfer) throw Failure{kBroken, "get: " + phonePath + ": the session is closing"};
  const Watched watched = watch(std::move(transfer).value(), korvex::base_name(phonePath), options);
  if (watched.outcome == Outcome::Failed && localShortOfSpace(dest, size)) localFailure("get", dest, noSpaceText());
  if (watched.outcome != Outcome::Done) {
    // The library puts the file in place only once every byte has arrived:
    // what stood at `dest` before is still there, untouched.
    // A download reports 0 only once the phone accepted the request.
    if (watched.outcome == Outcome::Failed && watched.moved < 0) {
      throw asFailure("get", phonePath, phone.why(korvex::Operation::download, phonePath),
                      "the phone did not send it whole");
    }
    throw interrupted("get: " + phonePath, watched);
  }
  std::error_code error;
  const std::uintmax_t written = fs::file_size(localPathOf(dest), error);
  if (error || written != static_cast<std::uintmax_t>(watched.total)) {
    localFailure("get", dest, error ? error.message() : "holds " + std::to_string(written) + " bytes, not " +
                                                            std::to_string(watched.total));
  }
  printSummary("get", phonePath, dest, watched.total, watched.seconds, options);
  return kOk;
}

}  // namespace korvex::cli
