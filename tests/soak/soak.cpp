// The library under a misbehaving network: many sessions and background
// copies against korvexd through fault_proxy, for a bounded time.
//
//   soak [--seconds 60] [--sessions 50] [--seed N] [--rate X] [--samples 6]
//
// The client side uses the library's exports only. Checks, any of which
// fails the run (exit 1):
//   - a download that reports success is byte-identical; a failed one leaves
//     no local file, not even a temporary one beside it;
//   - an upload that reports success is complete on the service side; no
//     upload is ever visible under its final name with anything but its
//     whole content;
//   - results are failures or correct answers, never wrong ones;
//   - nothing takes longer than its bound (nothing hangs);
//   - descriptors and threads, taken while every worker is idle, and
//     resident memory stay flat from sample to sample.
// It prints the figures: operations, faults injected, failures and why.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "korvex.h"
#include "process_counts.h"
#include "service_process.h"

#ifndef FAULT_PROXY_PATH
#error "FAULT_PROXY_PATH must name the fault_proxy binary"
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using korvex::test::ServiceProcess;

struct Options {
  int seconds = 60;
  int sessions = 50;
  unsigned seed = 1;
  double rate = 1.0;
  int samples = 6;
};

std::string patterned(std::size_t size, unsigned seed) {
  std::string data(size, '\0');
  unsigned x = seed * 2654435761u + 1;
  for (char& c : data) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return data;
}

// What a file holds, compared with `content` a block at a time: reading the
// whole file into memory would put the soak's own large blocks beside the
// library's in the resident size it checks.
struct Compared {
  bool same = false;
  std::uintmax_t size = 0;
};

Compared compareFile(const fs::path& path, const std::string& content) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> block(32 * 1024);
  Compared result{true, 0};
  while (in) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (result.size + got > content.size() ||
        content.compare(result.size, got, block.data(), got) != 0)
      result.same = false;
    result.size += got;
  }
  result.same = result.same && result.size == content.size();
  return result;
}

void writeFile(const fs::path& path, const std::string& data) {
  std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

// What every operation kind did, and every broken check.
class Figures {
 public:
  void count(const std::string& what) {
    std::lock_guard lock(mutex_);
    ++counts_[what];
  }
  void violation(const std::string& what) {
    std::lock_guard lock(mutex_);
    ++counts_["VIOLATION " + what];
    if (violations_.size() < 50) violations_.push_back(what);
  }
  void took(const std::string& op, Clock::duration spent) {
    const long ms = std::chrono::duration_cast<std::chrono::milliseconds>(spent).count();
    std::lock_guard lock(mutex_);
    longest_[op] = std::max(longest_[op], ms);
  }
  bool clean() const {
    std::lock_guard lock(mutex_);
    return violations_.empty();
  }
  void print() const {
    std::lock_guard lock(mutex_);
    for (const auto& [what, n] : counts_) std::printf("  %-52s %ld\n", what.c_str(), n);
    std::printf("  longest call per kind (ms):");
    for (const auto& [op, ms] : longest_) std::printf(" %s=%ld", op.c_str(), ms);
    std::printf("\n");
    for (const std::string& v : violations_) std::printf("  violation: %s\n", v.c_str());
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, long> counts_;
  std::map<std::string, long> longest_;
  std::vector<std::string> violations_;
};

// The longest any export may take here. Commands: a keep-alive ahead of them
// (3 s), then their own write and read (3 s each), plus the proxy's delays
// and a loaded machine.
// Copies move data as long as the proxy trickles it, so their bound is wider.
constexpr auto kCommandBound = std::chrono::seconds(15);
constexpr auto kCopyBound = std::chrono::seconds(60);

struct PhoneFile {
  std::string path;
  std::string content;
};

class Soak {
 public:
  Soak(const Options& options, ServiceProcess& service, std::string proxy)
      : options_(options), service_(service), proxy_(std::move(proxy)) {
    scratch_ = fs::temp_directory_path() / ("korvex-soak-" + std::to_string(::getpid()));
    fs::create_directories(scratch_);
    fs::create_directories(service.root() / "shared");
    const std::size_t sizes[] = {3000, 300 * 1024, 2 * 1024 * 1024};
    const char* names[] = {"small.bin", "mid.bin", "big.bin"};
    for (int i = 0; i < 3; ++i) {
      shared_.push_back({std::string("/shared/") + names[i], patterned(sizes[i], 100 + i)});
      writeFile(service.root() / "shared" / names[i], shared_.back().content);
    }
    for (int i = 0; i < 4; ++i) {
      const std::size_t size = i == 0 ? 1 : i == 1 ? 1500 : i == 2 ? 64 * 1024 + 3 : 700 * 1024;
      locals_.push_back({(scratch_ / ("source-" + std::to_string(i))).string(), patterned(size, 200 + i)});
      writeFile(locals_.back().path, locals_.back().content);
    }
    std::string dirs = "shared/";
    std::vector<std::string> names2;
    for (int k = 0; k < options.sessions; ++k) {
      fs::create_directories(service.root() / ("w" + std::to_string(k)));
      fs::create_directories(scratch_ / ("w" + std::to_string(k)));
      names2.push_back("w" + std::to_string(k));
    }
    std::sort(names2.begin(), names2.end());
    for (const std::string& n : names2) dirs += n + "/";
    rootDirs_ = dirs;
  }
  ~Soak() {
    std::error_code ignored;
    fs::remove_all(scratch_, ignored);
  }

  bool run() {
    // Before the first session: what the process holds with none.
    const korvex::test::ProcessCounts before = korvex::test::processCounts();
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(options_.seconds);
    std::vector<std::thread> workers;
    for (int k = 0; k < options_.sessions; ++k) workers.emplace_back([this, k] { work(k); });
    std::thread watchdog([this] { watch(); });

    // Samples at even steps; the first comes after a warm-up.
    std::vector<Sample> samples;
    for (int i = 1; i <= options_.samples; ++i) {
      const auto at = start + (end - start) * i / (options_.samples + 1);
      if (!sleepUntil(at)) break;
      samples.push_back(sample());
      const Sample& s = samples.back();
      std::printf("sample %d at %4.0fs: descriptors %ld, threads %ld, connected sessions %ld, resident %ld KiB, "
                  "sessions opened so far %ld\n",
                  i, std::chrono::duration<double>(Clock::now() - start).count(), s.descriptors, s.threads,
                  s.connected, s.residentKiB, connects_.load());
      std::fflush(stdout);
    }
    sleepUntil(end);
    stop_ = true;
    wake_.notify_all();
    for (std::thread& t : workers) t.join();
    watchdog.join();
    checkFlat(samples);
    checkGivenBack(before);
    return figures_.clean();
  }

  Figures& figures() { return figures_; }

 private:
  struct Sample {
    long descriptors, threads, connected, residentKiB, opened;
  };

  bool sleepUntil(Clock::time_point at) {
    std::unique_lock lock(mutex_);
    return !wake_.wait_until(lock, at, [this] { return stop_.load(); });
  }

  // Taken with every worker parked between operations, so no copy or
  // command is in flight: what remains is the sessions and their keep-alives.
  Sample sample() {
    std::unique_lock lock(mutex_);
    pause_ = true;
    wake_.wait(lock, [this] { return parked_ == options_.sessions || stop_; });
    long connected = 0;
    for (const SessionHandle s : current_) {
      char state = 0, address[64], name[64];
      if (s) ConnectionState(s, &state, address, name);
      connected += state;
    }
    const korvex::test::ProcessCounts counts = korvex::test::processCounts();
    Sample s{counts.handles, counts.threads, connected, counts.residentKiB, connects_.load()};
    pause_ = false;
    wake_.notify_all();
    return s;
  }

  void parkIfPaused() {
    std::unique_lock lock(mutex_);
    if (!pause_) return;
    ++parked_;
    wake_.notify_all();
    wake_.wait(lock, [this] { return !pause_ || stop_; });
    --parked_;
  }

  // Each connected session holds one socket and one keep-alive thread; the
  // rest must not grow. Memory: every session ever opened stays allocated
  // (the library never frees one), so growth is judged per session opened.
  void checkFlat(const std::vector<Sample>& samples) {
    if (samples.size() < 2) return;
    const Sample& first = samples.front();
    for (const Sample& s : samples) {
      // A session whose link just broke may still hold its socket until its
      // keep-alive notices; allow a few.
      const long slack = 4;
      if (std::labs((s.descriptors - s.connected) - (first.descriptors - first.connected)) > slack)
        figures_.violation("descriptors not flat: " + std::to_string(first.descriptors) + " -> " +
                           std::to_string(s.descriptors) + " with " + std::to_string(s.connected) + " connected");
      if (std::labs((s.threads - s.connected) - (first.threads - first.connected)) > slack)
        figures_.violation("threads not flat: " + std::to_string(first.threads) + " -> " +
                           std::to_string(s.threads) + " with " + std::to_string(s.connected) + " connected");
    }
    const Sample& last = samples.back();
    const long opened = std::max(1L, last.opened - first.opened);
    const double perSession = static_cast<double>(last.residentKiB - first.residentKiB) / static_cast<double>(opened);
    std::printf("resident memory %ld -> %ld KiB over %ld sessions opened: %.1f KiB per session opened\n",
                first.residentKiB, last.residentKiB, opened, perSession);
    // Allocator noise aside, growth beyond what the kept sessions explain is a
    // leak. Sanitizers keep freed memory in quarantine and shadow every byte:
    // there the figure is only shown.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    if (last.residentKiB - first.residentKiB > 64 * 1024 && perSession > 256)
      figures_.violation("resident memory grows: " + std::to_string(perSession) + " KiB per session opened");
#endif
  }

  // Every worker has ended its session: what the sessions took must be back
  // within a tenth of the start.
  void checkGivenBack(const korvex::test::ProcessCounts& before) {
    // Pages freed but still mapped by the allocator are not held by anyone.
    malloc_trim(0);
    const korvex::test::ProcessCounts after = korvex::test::settledCounts(before);
    const long opened = std::max(1L, connects_.load());
    const long added = after.residentKiB - before.residentKiB;
    const double percent = 100.0 * static_cast<double>(added) / static_cast<double>(before.residentKiB);
    std::printf("resident memory after the sessions ended: %ld -> %ld KiB (%+.1f%%) over %ld sessions opened and "
                "closed: %.2f KiB per session; threads %ld -> %ld, descriptors %ld -> %ld\n",
                before.residentKiB, after.residentKiB, percent, opened, static_cast<double>(added) / opened,
                before.threads, after.threads, before.handles, after.handles);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    if (added * 10 > before.residentKiB)
      figures_.violation("resident memory not given back: " + std::to_string(before.residentKiB) + " -> " +
                         std::to_string(after.residentKiB) + " KiB after the sessions ended");
#endif
  }

  void watch() {
    while (!stop_) {
      {
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_.load(); });
      }
      const auto now = Clock::now();
      std::lock_guard lock(mutex_);
      for (std::size_t k = 0; k < busySince_.size(); ++k) {
        if (busySince_[k] != Clock::time_point{} && now - busySince_[k] > kCopyBound + std::chrono::seconds(30)) {
          std::fprintf(stderr, "soak: worker %zu stuck in %s for over %lld s\n", k, busyWith_[k],
                       static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(kCopyBound).count() + 30));
          std::fflush(stderr);
          std::_Exit(3);  // a hang: stop here, with the service and proxy still up for a look
        }
      }
    }
  }

  template <typename Call>
  auto timed(int worker, const char* op, Clock::duration bound, Call&& call) {
    {
      std::lock_guard lock(mutex_);
      busySince_[static_cast<std::size_t>(worker)] = Clock::now();
      busyWith_[static_cast<std::size_t>(worker)] = op;
    }
    const auto start = Clock::now();
    auto result = call();
    const auto spent = Clock::now() - start;
    {
      std::lock_guard lock(mutex_);
      busySince_[static_cast<std::size_t>(worker)] = Clock::time_point{};
    }
    figures_.took(op, spent);
    if (spent > bound)
      figures_.violation(std::string(op) + " took " +
                         std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(spent).count()) + " ms");
    return result;
  }

  bool connected(SessionHandle session) {
    char state = 0, address[64], name[64];
    ConnectionState(session, &state, address, name);
    return state == 1;
  }

  void work(int k) {
    std::mt19937 random(options_.seed * 7919u + static_cast<unsigned>(k));
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
    const std::string dir = "/w" + std::to_string(k);
    const fs::path localDir = scratch_ / ("w" + std::to_string(k));
    SessionHandle session = nullptr;
    int sequence = 0;
    while (!stop_) {
      parkIfPaused();
      if (stop_) break;
      if (session && !connected(session)) endSession(k, session, "a lost one");
      if (!session) {
        int error = 0;
        session = timed(k, "Connect", kCommandBound, [&] { return Connect(proxy_.c_str(), service_.password().c_str(), &error); });
        ++connects_;
        figures_.count(session ? "Connect: ok" : "Connect: failed, error " + std::to_string(error));
        std::lock_guard lock(mutex_);
        current_[static_cast<std::size_t>(k)] = session;
        if (!session) continue;
      }
      const int choice = pick(100);
      const std::string tag = dir + "/" + std::to_string(++sequence);
      if (choice < 30) command(k, session, pick);
      else if (choice < 45) listing(k, session, pick(2) == 0);
      else if (choice < 60) download(k, session, shared_[static_cast<std::size_t>(pick(3))], localDir / std::to_string(sequence));
      else if (choice < 75) upload(k, session, locals_[static_cast<std::size_t>(pick(4))], tag);
      else if (choice < 88) downloadAsync(k, session, shared_[static_cast<std::size_t>(pick(3))], localDir / std::to_string(sequence), pick);
      else uploadAsync(k, session, locals_[static_cast<std::size_t>(pick(4))], tag, pick);
      // A host that reconnects all the time: sessions end and new ones open.
      if (pick(25) == 0) endSession(k, session, "by choice");
    }
    if (session) endSession(k, session, "at the end");
  }

  // The sampler reads the sessions under the lock: this one leaves its list
  // before it is freed.
  void endSession(int k, SessionHandle& session, const std::string& why) {
    {
      std::lock_guard lock(mutex_);
      current_[static_cast<std::size_t>(k)] = nullptr;
    }
    const bool wasConnected = timed(k, "Disconnect", kCommandBound, [&] { return Disconnect(session); });
    figures_.count("Disconnect " + why + (wasConnected ? ": was connected" : ": was lost"));
    session = nullptr;
  }

  template <typename Pick>
  void command(int k, SessionHandle session, Pick& pick) {
    const PhoneFile& file = shared_[static_cast<std::size_t>(pick(3))];
    switch (pick(4)) {
      case 0: {
        const int size = timed(k, "FileSize", kCommandBound, [&] { return FileSize(session, file.path.c_str()); });
        // 0: the request could not be sent at all.
        if (size == static_cast<int>(file.content.size())) figures_.count("FileSize: ok");
        else if (size == -1 || size == 0) figures_.count("FileSize: failed");
        else figures_.violation("FileSize of " + file.path + " gave " + std::to_string(size));
        break;
      }
      case 1: {
        const int yes = timed(k, "Exists", kCommandBound, [&] { return Exists(session, file.path.c_str()); });
        if (yes == 1) figures_.count("Exists: ok");
        else if (yes == -1) figures_.count("Exists: failed");
        else figures_.violation("Exists of " + file.path + " gave " + std::to_string(yes));
        break;
      }
      case 2: {
        const int yes = timed(k, "IsDirectory", kCommandBound, [&] { return IsDirectory(session, file.path.c_str()); });
        if (yes == 0) figures_.count("IsDirectory: ok");
        else if (yes == -1) figures_.count("IsDirectory: failed");
        else figures_.violation("IsDirectory of " + file.path + " gave " + std::to_string(yes));
        break;
      }
      default: {
        const int space = timed(k, "GetSpaceSize", kCommandBound, [&] { return GetSpaceSize(session, "/"); });
        figures_.count(space > 0 ? "GetSpaceSize: ok" : "GetSpaceSize: failed");
        break;
      }
    }
  }

  void listing(int k, SessionHandle session, bool files) {
    char* names = nullptr;
    const std::string expected = files ? "big.bin/mid.bin/small.bin/" : rootDirs_;
    const int length = timed(k, files ? "GetFiles" : "GetDirectories", kCommandBound, [&] {
      return files ? GetFiles(session, "/shared", &names) : GetDirectories(session, "/", &names);
    });
    const std::string what = files ? "GetFiles" : "GetDirectories";
    if (length > 0 && names && std::string(names) == expected && length == static_cast<int>(expected.size())) {
      figures_.count(what + ": ok");
    } else if (length == -1 && names == nullptr) {
      figures_.count(what + ": failed");
    } else {
      figures_.violation(what + " gave " + std::to_string(length) + " \"" + (names ? std::string(names).substr(0, 80) : "") + "\"");
    }
    FreeBuffer(names);
  }

  void download(int k, SessionHandle session, const PhoneFile& file, const fs::path& local) {
    const bool ok = timed(k, "DownFromPhone", kCopyBound, [&] { return DownFromPhone(session, file.path.c_str(), local.c_str()); });
    const Compared got = compareFile(local, file.content);
    if (ok && got.same) figures_.count("DownFromPhone: ok, identical");
    else if (ok) figures_.violation("DownFromPhone of " + file.path + " reported success with " + std::to_string(got.size) + " bytes not identical");
    else figures_.count("DownFromPhone: failed");
    if (!ok) checkNothingLeft("DownFromPhone of " + file.path, local);
    std::error_code ignored;
    fs::remove(local, ignored);
  }

  // A failed download leaves its destination as it was (here: absent), and
  // its temporary file (".NAME.*.part" beside it) is gone.
  void checkNothingLeft(const std::string& what, const fs::path& local) {
    std::error_code error;
    if (fs::exists(local, error)) figures_.violation("failed " + what + " left a local file");
    const std::string prefix = "." + local.filename().string() + ".";
    for (const auto& entry : fs::directory_iterator(local.parent_path(), error)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(prefix, 0) == 0) figures_.violation("failed " + what + " left " + name);
    }
  }

  // The final name holds the whole content or nothing: never a part.
  void checkNoPartial(const std::string& phonePath, const std::string& content) {
    const fs::path onDisk = service_.root() / phonePath.substr(1);
    std::error_code error;
    if (!fs::exists(onDisk, error)) return;
    if (!compareFile(onDisk, content).same)
      figures_.violation("upload " + phonePath + " visible with " + std::to_string(fs::file_size(onDisk, error)) + " of " +
                         std::to_string(content.size()) + " bytes");
  }

  // Done means stored: the library reports an upload done only once the
  // service has answered its size, on the same connection.
  void checkLanded(const std::string& what, const std::string& phonePath, const std::string& content) {
    const fs::path onDisk = service_.root() / phonePath.substr(1);
    std::error_code error;
    if (!fs::exists(onDisk, error)) {
      figures_.count("uploads reported done whose file never arrived");
      figures_.violation(what + " to " + phonePath + " reported done, the file never arrived");
    } else if (!compareFile(onDisk, content).same) {
      figures_.violation(what + " to " + phonePath + " reported done, the service holds other bytes");
    } else {
      figures_.count(what + ": done, landed identical");
    }
  }

  // Uploads go to names of their own; once checked they go, so a long run
  // does not fill the disk.
  void forget(const std::string& phonePath) {
    std::error_code ignored;
    fs::remove(service_.root() / phonePath.substr(1), ignored);
  }

  void upload(int k, SessionHandle session, const PhoneFile& source, const std::string& dest) {
    uploadChecked(k, session, source, dest);
    forget(dest);
  }

  void uploadChecked(int k, SessionHandle session, const PhoneFile& source, const std::string& dest) {
    const bool ok = timed(k, "CopyToPhone", kCopyBound, [&] { return CopyToPhone(session, source.path.c_str(), dest.c_str()); });
    if (!ok) {
      figures_.count("CopyToPhone: failed");
      checkNoPartial(dest, source.content);
      return;
    }
    checkLanded("CopyToPhone", dest, source.content);
    const bool deleted = timed(k, "DeletePhoneFile", kCommandBound, [&] { return DeletePhoneFile(session, dest.c_str()); });
    std::error_code error;
    if (deleted && fs::exists(service_.root() / dest.substr(1), error))
      figures_.violation("DeletePhoneFile of " + dest + " reported success, the file is still there");
    figures_.count(deleted ? "DeletePhoneFile: ok" : "DeletePhoneFile: failed");
  }

  // Polls until the copy ends, or cancels it part-way; false when it took too long.
  template <typename Pick>
  int followTransfer(int k, TransferHandle transfer, Pick& pick, bool& cancelled) {
    const bool cancel = pick(4) == 0;
    const auto cancelAt = Clock::now() + std::chrono::milliseconds(pick(400));
    const auto started = Clock::now();
    int total = 0, progress = -1;
    for (;;) {
      GetTransProgress(transfer, &total, &progress);
      if (progress == -2 || (progress >= 0 && progress == total)) break;
      if (cancel && Clock::now() >= cancelAt) {
        cancelled = true;
        break;
      }
      // A copy whose own log-in failed stays at -1 for good.
      if (progress == -1 && Clock::now() - started > std::chrono::seconds(10)) break;
      if (Clock::now() - started > kCopyBound) {
        figures_.violation("a background copy made no end in " + std::to_string(kCopyBound.count()) + " s");
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5 + pick(20)));
    }
    timed(k, "CloseTransHandle", kCommandBound, [&] { return CloseTransHandle(transfer); });
    return progress;
  }

  template <typename Pick>
  void downloadAsync(int k, SessionHandle session, const PhoneFile& file, const fs::path& local, Pick& pick) {
    TransferHandle transfer =
        timed(k, "DownFromPhoneAsync", kCommandBound, [&] { return DownFromPhoneAsync(session, file.path.c_str(), local.c_str()); });
    if (!transfer) {
      figures_.count("DownFromPhoneAsync: not started");
      return;
    }
    bool cancelled = false;
    const int progress = followTransfer(k, transfer, pick, cancelled);
    const bool same = compareFile(local, file.content).same;
    const auto size = static_cast<int>(file.content.size());
    if (progress == size && same) {
      figures_.count("DownFromPhoneAsync: done, identical");
    } else if (progress == size) {
      figures_.violation("DownFromPhoneAsync of " + file.path + " done but the file differs");
    } else if (cancelled && same) {
      // The cancel met a copy that had just completed: the last poll did not
      // see it, but the whole file is in place.
      figures_.count("DownFromPhoneAsync: cancelled as it completed, identical");
    } else {
      if (cancelled) figures_.count("DownFromPhoneAsync: cancelled");
      else if (progress == -2) figures_.count("DownFromPhoneAsync: failed (-2)");
      else if (progress == -1) figures_.count("DownFromPhoneAsync: never started (-1: its log-in failed)");
      else figures_.violation("DownFromPhoneAsync of " + file.path + " ended at " + std::to_string(progress));
      checkNothingLeft("DownFromPhoneAsync of " + file.path, local);
    }
    std::error_code ignored;
    fs::remove(local, ignored);
  }

  template <typename Pick>
  void uploadAsync(int k, SessionHandle session, const PhoneFile& source, const std::string& dest, Pick& pick) {
    TransferHandle transfer =
        timed(k, "CopyToPhoneAsync", kCommandBound, [&] { return CopyToPhoneAsync(session, source.path.c_str(), dest.c_str()); });
    if (!transfer) {
      figures_.count("CopyToPhoneAsync: not started");
      return;
    }
    bool cancelled = false;
    const int progress = followTransfer(k, transfer, pick, cancelled);
    const auto size = static_cast<int>(source.content.size());
    if (progress == size) {
      checkLanded("CopyToPhoneAsync", dest, source.content);
    } else if (cancelled) {
      figures_.count("CopyToPhoneAsync: cancelled");
    } else if (progress == -2) {
      figures_.count("CopyToPhoneAsync: failed (-2)");
    } else if (progress == -1) {
      figures_.count("CopyToPhoneAsync: never started (-1: its log-in failed)");
    } else {
      figures_.violation("CopyToPhoneAsync to " + dest + " ended at " + std::to_string(progress));
    }
    checkNoPartial(dest, source.content);
    forget(dest);
  }

  const Options options_;
  ServiceProcess& service_;
  const std::string proxy_;
  fs::path scratch_;
  std::vector<PhoneFile> shared_;
  std::vector<PhoneFile> locals_;
  std::string rootDirs_;
  Figures figures_;
  std::atomic<long> connects_{0};

  std::mutex mutex_;
  std::condition_variable wake_;
  std::atomic<bool> stop_{false};
  bool pause_ = false;
  int parked_ = 0;
  std::vector<SessionHandle> current_ = std::vector<SessionHandle>(static_cast<std::size_t>(options_.sessions));
  std::vector<Clock::time_point> busySince_ = std::vector<Clock::time_point>(static_cast<std::size_t>(options_.sessions));
  std::vector<const char*> busyWith_ = std::vector<const char*>(static_cast<std::size_t>(options_.sessions));
};

// Runs fault_proxy in front of the service; its first line names its port.
struct Proxy {
  pid_t pid = -1;
  FILE* out = nullptr;
  std::string address;

  Proxy(std::uint16_t upstream, const Options& options) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> args = {FAULT_PROXY_PATH, "--upstream", "127.0.0.1:" + std::to_string(upstream),
                                     "--seed", std::to_string(options.seed), "--rate", std::to_string(options.rate)};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid = fork();
    if (pid == 0) {
      dup2(pipeFds[1], STDOUT_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    ::close(pipeFds[1]);
    out = fdopen(pipeFds[0], "r");
    char line[256] = {};
    if (pid < 0 || !fgets(line, sizeof line, out)) throw std::runtime_error("fault_proxy did not start");
    const char* colon = std::strrchr(line, ':');
    address = std::string("127.0.0.1") + std::string(colon).substr(0, std::strcspn(colon, "\n"));
  }
  // Stops the proxy; its line of fault counts.
  std::string stop() {
    kill(pid, SIGTERM);
    char line[512] = {};
    std::string counts = fgets(line, sizeof line, out) ? line : "faults: (none reported)\n";
    waitpid(pid, nullptr, 0);
    fclose(out);
    return counts;
  }
};

// The whole run; true when every check held. The service and its directory
// are gone when it returns.
bool soak(const Options& options) {
  ServiceProcess service(ServiceProcess::Options{.extraArgs = {"--io-timeout-ms", "5000"}});
  Proxy proxy(service.port(), options);
  std::printf("soak: %d sessions for %d s through %s (fault rate %.2f, seed %u)\n", options.sessions, options.seconds,
              proxy.address.c_str(), options.rate, options.seed);
  std::fflush(stdout);
  bool clean = false;
  {
    Soak run(options, service, proxy.address);
    clean = run.run();
    std::printf("%s", proxy.stop().c_str());
    run.figures().print();
  }
  const int status = service.stop();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::printf("korvexd ended with status %d\n", status);
    clean = false;
  }
  return clean;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string flag = argv[i];
    if (flag == "--seconds") options.seconds = std::atoi(argv[i + 1]);
    else if (flag == "--sessions") options.sessions = std::atoi(argv[i + 1]);
    else if (flag == "--seed") options.seed = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
    else if (flag == "--rate") options.rate = std::strtod(argv[i + 1], nullptr);
    else if (flag == "--samples") options.samples = std::atoi(argv[i + 1]);
    else {
      std::fprintf(stderr, "usage: soak [--seconds N] [--sessions N] [--seed N] [--rate X] [--samples N]\n");
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  // One heap arena: glibc gives each of the hundred threads here (workers,
  // keep-alives, copies) an arena of its own up to 8 per CPU, and each keeps
  // freed pages that a trim does not return, about 1 MiB in all after a
  // minute: that would hide what the library gives back when sessions end.
  mallopt(M_ARENA_MAX, 1);
  const bool clean = soak(options);
  std::printf("soak: %s\n", clean ? "passed" : "FAILED");
  std::fflush(stdout);
  // The library has no call that ends a session: their keep-alive threads
  // run until the process goes. Returning from main would destroy the
  // library's process-wide mutexes under those threads' feet.
  std::_Exit(clean ? 0 : 1);
}
