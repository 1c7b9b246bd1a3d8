// Background downloads: 1, 4 and 16 concurrent DownFromPhoneAsync copies of
// distinct files against korvexd, aggregate MiB/s next to one synchronous
// DownFromPhone of the same size; and the cost of polling GetTransProgress
// from one thread while a copy runs.
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common.h"
#include "korvex.h"

using namespace korvex::bench;
namespace fs = std::filesystem;

namespace {


std::string sourceName(int i) { return format("/src-%02d.bin", i); }

// Waits until every copy has all its bytes (or failed), then closes them;
// the clock stops after the last close, when every local file is complete.
// Seconds, or -1 on failure.
double runBatch(SessionHandle session, int count, const fs::path& local) {
  const double start = nowSeconds();
  std::vector<TransferHandle> handles;
  for (int i = 0; i < count; ++i) {
    const fs::path dest = local / format("async-%02d.bin", i);
    TransferHandle h = DownFromPhoneAsync(session, sourceName(i).c_str(), dest.c_str());
    if (!h) {
      std::fprintf(stderr, "DownFromPhoneAsync %d refused\n", i);
      for (TransferHandle open : handles) CloseTransHandle(open);
      return -1;
    }
    handles.push_back(h);
  }
  std::vector<bool> done(static_cast<std::size_t>(count), false);
  int remaining = count;
  bool failed = false;
  const double deadline = start + 300;
  while (remaining > 0 && !failed) {
    for (int i = 0; i < count; ++i) {
      if (done[static_cast<std::size_t>(i)]) continue;
      int total = 0, progress = 0;
      const int state = GetTransProgress(handles[static_cast<std::size_t>(i)], &total, &progress);
      if (state == -2) failed = true;
      if (state >= 0 && total > 0 && state == total) {
        done[static_cast<std::size_t>(i)] = true;
        --remaining;
      }
    }
    if (nowSeconds() > deadline) failed = true;
    if (remaining > 0) usleep(1000);
  }
  for (TransferHandle h : handles) CloseTransHandle(h);
  const double seconds = nowSeconds() - start;
  return failed ? -1 : seconds;
}

std::vector<int> parseCounts(const std::string& text) {
  std::vector<int> counts;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) counts.push_back(std::atoi(item.c_str()));
  return counts;
}

}  // namespace

int main(int argc, char** argv) {
  Flags flags(argc, argv, {"quick", "korvexd", "workdir", "rounds", "size-mib", "counts"});
  const bool quick = flags.has("quick");
  const int rounds = static_cast<int>(flags.number("rounds", quick ? 1 : 5));
  const std::uint64_t sizeMiB = static_cast<std::uint64_t>(flags.number("size-mib", quick ? 8 : 64));
  const std::uint64_t bytes = sizeMiB << 20;
  const std::vector<int> counts = parseCounts(flags.text("counts", "1,4,16"));
  int most = 1;
  for (int c : counts) {
    if (c < 1 || c > 64) {
      std::fprintf(stderr, "--counts: each between 1 and 64\n");
      return 2;
    }
    most = std::max(most, c);
  }
  armWatchdog(quick ? 300 : 3000);

  std::printf("== background downloads: %llu MiB files, %d rounds; medians\n",
              static_cast<unsigned long long>(sizeMiB), rounds);
  ScratchDir scratch(flags.text("workdir", ""), "korvex-bench-transfers");
  const fs::path root = scratch.subdir("root");
  const fs::path local = scratch.subdir("local");
  for (int i = 0; i < most; ++i) makeFile(root / sourceName(i).substr(1), bytes, 100 + static_cast<std::uint32_t>(i));
  settle();

  const auto service = startService(flags, scratch, root, kPassword);
  SessionHandle session = connectOrFinish(service->address(), kPassword);

  std::vector<double> syncRate;
  std::vector<std::vector<double>> asyncRate(counts.size());
  bool ok = true;
  // Round 0 is an untimed warm-up that also checks the files byte for byte.
  for (int r = 0; r <= rounds && ok; ++r) {
    {
      const fs::path dest = local / "sync.bin";
      const double start = nowSeconds();
      const bool good = DownFromPhone(session, sourceName(0).c_str(), dest.c_str());
      const double seconds = nowSeconds() - start;
      if (!good || fileSizeOr0(dest) != bytes) {
        std::fprintf(stderr, "synchronous download failed\n");
        ok = false;
        break;
      }
      if (r > 0) syncRate.push_back(static_cast<double>(sizeMiB) / seconds);
      std::printf("%s %d  synchronous 1      %8.1f MiB/s  (%.3f s)\n", r ? "round" : "warm-up", r,
                  static_cast<double>(sizeMiB) / seconds, seconds);
      fs::remove(dest);
      settle();
    }
    for (std::size_t c = 0; c < counts.size() && ok; ++c) {
      const int count = counts[c];
      const double seconds = runBatch(session, count, local);
      for (int i = 0; i < count && seconds >= 0; ++i) {
        const fs::path dest = local / format("async-%02d.bin", i);
        if (fileSizeOr0(dest) != bytes || (r == 0 && !sameContent(dest, root / sourceName(i).substr(1)))) {
          std::fprintf(stderr, "background copy %d of %d arrived wrong\n", i, count);
          ok = false;
        }
      }
      if (seconds < 0) {
        std::fprintf(stderr, "a batch of %d background copies failed\n", count);
        ok = false;
      }
      if (!ok) break;
      const double rate = static_cast<double>(sizeMiB) * count / seconds;
      if (r > 0) asyncRate[c].push_back(rate);
      std::printf("%s %d  background %-3d    %8.1f MiB/s aggregate  (%.3f s)\n", r ? "round" : "warm-up", r, count,
                  rate, seconds);
      for (int i = 0; i < count; ++i) fs::remove(local / format("async-%02d.bin", i));
      settle();
    }
    std::fflush(stdout);
  }

  // How long DownFromPhoneAsync keeps its caller, on an idle session and
  // while a synchronous copy runs on the same session.
  std::vector<double> startIdle, startBusy;
  for (int r = 0; r < std::max(1, rounds) && ok; ++r) {
    const fs::path dest = local / "started.bin";
    double t = nowSeconds();
    TransferHandle h = DownFromPhoneAsync(session, sourceName(0).c_str(), dest.c_str());
    startIdle.push_back((nowSeconds() - t) * 1e3);
    if (h) CloseTransHandle(h);
    fs::remove(dest);

    const fs::path syncDest = local / "sync.bin";
    bool copied = false;
    std::thread copy([&] { copied = DownFromPhone(session, sourceName(0).c_str(), syncDest.c_str()); });
    usleep(2000);  // the copy has the session by now
    t = nowSeconds();
    h = DownFromPhoneAsync(session, sourceName(1 % most).c_str(), dest.c_str());
    startBusy.push_back((nowSeconds() - t) * 1e3);
    copy.join();
    if (h) CloseTransHandle(h);
    if (!h || !copied) {
      std::fprintf(stderr, "copies for the start-up measurement failed\n");
      ok = false;
    }
    fs::remove(dest);
    fs::remove(syncDest);
    settle();
  }

  // Polling: one thread calls GetTransProgress back to back while one copy runs.
  double callsPerSecond = 0, polledRate = 0;
  if (ok) {
    const fs::path dest = local / "polled.bin";
    const double start = nowSeconds();
    TransferHandle h = DownFromPhoneAsync(session, sourceName(0).c_str(), dest.c_str());
    std::uint64_t calls = 0;
    double pollStart = 0;
    bool good = h != nullptr;
    while (good) {
      int total = 0, progress = 0;
      const int state = GetTransProgress(h, &total, &progress);
      ++calls;
      if (state >= 0 && pollStart == 0) {
        pollStart = nowSeconds();  // count from the first byte on
        calls = 0;
      }
      if (state == -2 || nowSeconds() - start > 300) good = false;
      if (state >= 0 && total > 0 && state == total) break;
    }
    const double pollEnd = nowSeconds();
    if (h) CloseTransHandle(h);
    const double seconds = nowSeconds() - start;
    good = good && fileSizeOr0(dest) == bytes;
    if (!good) {
      std::fprintf(stderr, "polled background copy failed\n");
      ok = false;
    } else {
      callsPerSecond = static_cast<double>(calls) / (pollEnd - pollStart);
      polledRate = static_cast<double>(sizeMiB) / seconds;
    }
    fs::remove(dest);
  }
  service->stop();
  scratch.remove();
  if (!ok) finish(1);

  const double sync = median(syncRate);
  std::printf("synchronous DownFromPhone          %8.1f MiB/s\n", sync);
  for (std::size_t c = 0; c < counts.size(); ++c) {
    const double rate = median(asyncRate[c]);
    std::printf("%2d x DownFromPhoneAsync           %8.1f MiB/s aggregate  ratio to synchronous %.3f\n", counts[c], rate,
                rate / sync);
    summaryLine(format("%d background downloads, %llu MiB each", counts[c], static_cast<unsigned long long>(sizeMiB)),
                format("%.1f MiB/s", rate), format("%.1f MiB/s sync", sync), rate / sync, "-", true);
  }
  std::printf("GetTransProgress while one copy runs: %.0f calls/s (%.1f ns each); that copy: %.1f MiB/s\n",
              callsPerSecond, 1e9 / callsPerSecond, polledRate);
  infoLine("GetTransProgress polling", format("%.3g calls/s", callsPerSecond));
  std::printf("DownFromPhoneAsync returns after %.2f ms on an idle session, %.1f ms while a synchronous copy runs "
              "on the session (started 2 ms before; that copy alone takes about %.0f ms)\n",
              median(startIdle), median(startBusy), static_cast<double>(sizeMiB) / sync * 1e3);
  infoLine("DownFromPhoneAsync call, idle session", format("%.2f ms", median(startIdle)));
  infoLine("DownFromPhoneAsync call, during a sync copy", format("%.1f ms", median(startBusy)));
  finish(0);
}
