// get and put: background copies watched from the main thread.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <string>
#include <utility>

#include "commands.h"
#include "progress.h"

namespace korvex::cli {

namespace {

using Clock = std::chrono::steady_clock;
// Polling is one atomic read in the library; a short period keeps the timing
// of quick copies honest, while the bar is redrawn less often.
constexpr auto kPollPeriod = std::chrono::milliseconds(20);
constexpr auto kRedrawPeriod = std::chrono::milliseconds(100);
// Writing the last byte is not the phone storing it: the size check after an
// upload waits this long for the phone to finish.
constexpr auto kConfirmTimeout = std::chrono::seconds(5);

volatile std::sig_atomic_t stopSignal = 0;

void onStopSignal(int signal) { stopSignal = signal; }

// While a copy runs, SIGINT and SIGTERM only raise the flag: the main loop
// cancels through the library, which must not be entered from a handler.
class StopSignals {
 public:
  StopSignals() {
    struct sigaction action {};
    action.sa_handler = &onStopSignal;
    sigemptyset(&action.sa_mask);
    install(SIGINT, action, oldInt_);
    install(SIGTERM, action, oldTerm_);
  }
  ~StopSignals() {
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  // A signal ignored from the start (nohup, a background job) stays ignored.
  static void install(int signal, const struct sigaction& action, struct sigaction& old) {
    sigaction(signal, nullptr, &old);
    if (old.sa_handler != SIG_IGN) sigaction(signal, &action, nullptr);
  }

  struct sigaction oldInt_ {};
  struct sigaction oldTerm_ {};
};

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Sleeps one poll period; a signal that lands on this thread ends it early.
void pause() {
  timespec period{0, std::chrono::nanoseconds(kPollPeriod).count()};
  nanosleep(&period, nullptr);
}

int terminalWidth() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// The bar on a terminal; nothing otherwise.
class ProgressBar {
 public:
  // The rate counts from `start`, so a copy quicker than one poll still shows one.
  ProgressBar(bool enabled, Clock::time_point start)
      : enabled_(enabled), width_(enabled ? terminalWidth() - 1 : 0) {
    samples_.emplace_back(start, 0);
  }

  void waiting() {
    if (enabled_ && !drawn_) draw("connecting...");
  }

  void update(std::int64_t done, std::int64_t total) {
    if (!enabled_) return;
    const Clock::time_point now = Clock::now();
    const bool last = total >= 0 && done == total;
    if (!last && drawn_ && now - lastDraw_ < kRedrawPeriod) return;
    lastDraw_ = now;
    samples_.emplace_back(now, done);
    // The rate over the last few seconds follows changes without jitter.
    while (samples_.size() > 2 && now - samples_.front().first > std::chrono::seconds(3)) samples_.pop_front();
    double rate = 0.0;
    const double span = std::chrono::duration<double>(now - samples_.front().first).count();
    if (span > 0.05) rate = static_cast<double>(done - samples_.front().second) / span;
    draw(progressLine(done, total, rate, width_));
  }

  // Leaves the last drawing on its own line.
  void finish() {
    if (enabled_ && drawn_) {
      std::fputc('\n', stdout);
      std::fflush(stdout);
    }
    drawn_ = false;
  }

  ~ProgressBar() { finish(); }

 private:
  void draw(const std::string& line) {
    std::string padded = line;
    if (padded.size() < lastLength_) padded.append(lastLength_ - padded.size(), ' ');
    lastLength_ = line.size();
    std::fputc('\r', stdout);
    std::fputs(padded.c_str(), stdout);
    std::fflush(stdout);
    drawn_ = true;
  }

  bool enabled_;
  int width_;
  bool drawn_ = false;
  std::size_t lastLength_ = 0;
  Clock::time_point lastDraw_;
  std::deque<std::pair<Clock::time_point, std::int64_t>> samples_;
};

enum class Outcome { Done, Failed, NeverStarted, Cancelled };

struct Watched {
  Outcome outcome = Outcome::Failed;
  std::int64_t moved = -1;  // most bytes seen moved; -1 when it never started
  std::int64_t total = -1;
  double seconds = 0.0;     // from the start to the end of the copy
  int signal = 0;
};

// Polls the copy until it ends, fails, is cancelled or never starts; always
// releases the handle.
Watched watch(TransferHandle transfer, const CopyOptions& options) {
  const bool bar = options.progress == ProgressMode::Always ||
                   (options.progress == ProgressMode::Auto && isatty(STDOUT_FILENO));
  Watched result;
  const Clock::time_point start = Clock::now();
  ProgressBar display(bar, start);
  for (;;) {
    int total = -1, progress = -1;
    const int value = GetTransProgress(transfer, &total, &progress);
    result.total = total;
    if (value >= 0) result.moved = value;
    if (stopSignal) {
      result.outcome = Outcome::Cancelled;
      result.signal = stopSignal;
      break;
    }
    if (value == -2) {
      result.outcome = Outcome::Failed;
      break;
    }
    if (value >= 0) {
      display.update(value, total);
      if (total >= 0 && value == total) {
        result.outcome = Outcome::Done;
        break;
      }
    } else {
      // -1 for good means the copy's own connect or login failed.
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
  CloseTransHandle(transfer);
  result.seconds = secondsSince(start);
  return result;
}

std::string sizeText(std::int64_t bytes) {
  return formatBytes(bytes) + (bytes >= 1024 ? " (" + std::to_string(bytes) + " bytes)" : "");
}

void printSummary(const char* what, const std::string& from, const std::string& to, std::int64_t bytes,
                  double seconds) {
  std::string line = std::string(what) + ": " + from + " -> " + to + ": " + sizeText(bytes);
  char timing[64];
  std::snprintf(timing, sizeof timing, " in %.2f s", seconds);
  line += timing;
  if (seconds > 0.0 && bytes > 0) {
    line += " (" + formatBytes(static_cast<std::int64_t>(static_cast<double>(bytes) / seconds)) + "/s)";
  }
  std::printf("%s\n", line.c_str());
}

[[noreturn]] void localFailure(const std::string& what, const std::string& path, const std::string& reason) {
  throw Failure{kLocalFile, what + ": " + path + ": " + reason};
}

std::string joinPhone(const std::string& directory, const std::string& name) {
  return directory.back() == '/' ? directory + name : directory + "/" + name;
}

Failure interrupted(const char* what, const Watched& watched) {
  const std::string when = watched.moved < 0 ? "before any byte moved"
                                             : "after " + std::to_string(watched.moved) + " of " +
                                                   std::to_string(watched.total) + " bytes";
  switch (watched.outcome) {
    case Outcome::Cancelled:
      return {kSignalBase + watched.signal, std::string(what) + ": cancelled " + when};
    case Outcome::NeverStarted:
      return {kBroken, std::string(what) + ": the copy did not start within the start time-out: its connection " +
                           "or login to the phone failed"};
    default:
      return {kBroken, std::string(what) + ": the copy broke off " + when};
  }
}

}  // namespace

int putCommand(Context& context, const std::string& localPath, const std::string& phonePath,
               const CopyOptions& options) {
  struct stat info {};
  if (stat(localPath.c_str(), &info) != 0) localFailure("put", localPath, std::strerror(errno));
  if (S_ISDIR(info.st_mode)) localFailure("put", localPath, "is a directory");
  if (!S_ISREG(info.st_mode)) localFailure("put", localPath, "not a regular file");
  const int probe = open(localPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (probe < 0) localFailure("put", localPath, std::strerror(errno));
  close(probe);
  // Progress is an int: beyond it the copy could not be followed.
  if (info.st_size > INT32_MAX) localFailure("put", localPath, "too large: copies stop short of 2 GiB");
  const std::int64_t size = info.st_size;

  StopSignals signals;
  Phone& phone = context.phone();
  std::string dest = phonePath;
  if (dest.back() == '/' || phone.isDirectory(dest) == 1) dest = joinPhone(dest, baseName(localPath));
  if (dest.size() > kMaxPhonePath) throw Failure{kUsage, "put: " + dest + ": phone path too long"};
  if (stopSignal) throw Failure{kSignalBase + stopSignal, "put: cancelled before the copy started"};

  const Clock::time_point start = Clock::now();
  auto refusal = [&] {
    const std::string parent = phoneParent(dest);
    if (!parent.empty() && phone.exists(parent) == 0) {
      return Failure{kRefused, "put: " + dest + ": no such directory " + parent};
    }
    return phone.refusal("put", dest, "the phone refused to store it");
  };
  if (size == 0) {
    // An empty upload reads as finished before its request is even sent, so
    // it runs on the session instead of in the background.
    if (!CopyToPhone(phone.handle(), localPath.c_str(), dest.c_str())) throw refusal();
  } else {
    TransferHandle transfer = CopyToPhoneAsync(phone.handle(), localPath.c_str(), dest.c_str());
    if (!transfer) localFailure("put", localPath, "cannot be opened");
    const Watched watched = watch(transfer, options);
    // An upload reports 0 before it sends its request: a failure there is
    // the phone turning the request down.
    if (watched.outcome == Outcome::Failed && watched.moved <= 0) throw refusal();
    if (watched.outcome != Outcome::Done) {
      Failure failure = interrupted("put", watched);
      if (watched.moved > 0) failure.message += "; " + dest + " on the phone may be incomplete";
      throw failure;
    }
  }

  const Clock::time_point confirmBy = Clock::now() + kConfirmTimeout;
  int stored = FileSize(phone.handle(), dest.c_str());
  while (stored != size && Clock::now() < confirmBy && !stopSignal) {
    pause();
    stored = FileSize(phone.handle(), dest.c_str());
  }
  if (stored != size) {
    throw Failure{kBroken, "put: " + dest + ": the phone holds " + std::to_string(stored) + " bytes, not " +
                               std::to_string(size)};
  }
  printSummary("put", localPath, dest, size, secondsSince(start));
  return kOk;
}

int getCommand(Context& context, const std::string& phonePath, const std::string& localPath,
               const CopyOptions& options) {
  namespace fs = std::filesystem;
  std::string dest = localPath;
  struct stat info {};
  if (stat(dest.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    dest = (fs::path(dest) / baseName(phonePath)).string();
  }
  fs::path parent = fs::path(dest).parent_path();
  if (parent.empty()) parent = ".";
  if (stat(parent.c_str(), &info) != 0) localFailure("get", parent.string(), std::strerror(errno));
  if (!S_ISDIR(info.st_mode)) localFailure("get", parent.string(), "not a directory");
  if (access(parent.c_str(), W_OK) != 0) localFailure("get", parent.string(), std::strerror(errno));
  const bool existed = stat(dest.c_str(), &info) == 0;
  if (existed && S_ISDIR(info.st_mode)) localFailure("get", dest, "is a directory");
  if (existed && access(dest.c_str(), W_OK) != 0) localFailure("get", dest, std::strerror(errno));

  StopSignals signals;
  Phone& phone = context.phone();
  if (phone.exists(phonePath) != 1) throw phone.refusal("get", phonePath);
  if (phone.isDirectory(phonePath) == 1) throw Failure{kRefused, "get: " + phonePath + ": is a directory"};
  const int size = FileSize(phone.handle(), phonePath.c_str());
  if (size < -1) throw Failure{kRefused, "get: " + phonePath + ": too large: copies stop short of 2 GiB"};
  if (size == -1) throw phone.refusal("get", phonePath, "the phone refused to tell its size");
  if (stopSignal) throw Failure{kSignalBase + stopSignal, "get: cancelled before the copy started"};

  TransferHandle transfer = DownFromPhoneAsync(phone.handle(), phonePath.c_str(), dest.c_str());
  if (!transfer) throw Failure{kBroken, "get: " + phonePath + ": the session is closing"};
  const Watched watched = watch(transfer, options);
  if (watched.outcome != Outcome::Done) {
    // The library leaves what it wrote; a partial copy is worse than none.
    // Only a file it opened (or created) goes.
    std::error_code ignored;
    const bool created = !existed && fs::exists(dest, ignored);
    const bool removed = (watched.moved >= 0 || created) && fs::remove(dest, ignored);
    // A download reports 0 only once the phone accepted the request.
    if (watched.outcome == Outcome::Failed && watched.moved < 0) {
      throw phone.refusal("get", phonePath, "the phone refused to send it");
    }
    Failure failure = interrupted("get", watched);
    if (removed) failure.message += "; removed the partial " + dest;
    throw failure;
  }
  std::error_code error;
  const std::uintmax_t written = fs::file_size(dest, error);
  if (error || written != static_cast<std::uintmax_t>(watched.total)) {
    localFailure("get", dest, error ? error.message() : "holds " + std::to_string(written) + " bytes, not " +
                                                            std::to_string(watched.total));
  }
  printSummary("get", phonePath, dest, watched.total, watched.seconds);
  return kOk;
}

}  // namespace korvex::cli
