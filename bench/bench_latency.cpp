// Tail latency of two everyday patterns against korvexd, with nothing pinned:
// an upload followed by one command, and listings of folders of several
// sizes. A final segment held back by the transport until the peer's delayed
// acknowledgement shows here as a tail of tens of milliseconds over a
// median of one, so each is judged by its p99 against its own median.
// Also reported: the resident memory a listing adds at its peak.
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common.h"
#include "korvex.h"
#include "raw_client.h"
#include "protocol.h"

using namespace korvex::bench;
using korvex::test::RawClient;
namespace proto = korvex::protocol;
namespace fs = std::filesystem;

namespace {

// A final piece shorter than a full one: the case the transport may hold.
constexpr std::uint64_t kUploadBytes = (1 << 20) + 517;

struct Tail {
  double p50, p99, max;
};

Tail tailOf(const std::vector<double>& ms) { return {median(ms), percentile(ms, 99), percentile(ms, 100)}; }

void judge(const std::string& what, const std::vector<double>& ms, double limit) {
  const Tail t = tailOf(ms);
  const double ratio = t.p99 / t.p50;
  std::printf("%-40s p50 %8.3f ms  p99 %8.3f ms  max %8.3f ms  p99/p50 %.2f  (%zu samples)\n", what.c_str(), t.p50,
              t.p99, t.max, ratio, ms.size());
  summaryLine(what + ": p99 vs median", format("p99 %.3f ms", t.p99), format("p50 %.3f ms", t.p50), ratio,
              format("<= %.1f", limit), ratio <= limit);
}

// The bare client's tail beside the library's: what the service and the
// machine add.
void showBare(const std::string& what, const std::vector<double>& ms) {
  const Tail t = tailOf(ms);
  std::printf("%-40s p50 %8.3f ms  p99 %8.3f ms  max %8.3f ms  p99/p50 %.2f\n", "  the same, bare client", t.p50,
              t.p99, t.max, t.p99 / t.p50);
  infoLine(what + ": bare client's p99 vs median", format("%.3f / %.3f ms = %.2f", t.p99, t.p50, t.p99 / t.p50));
}

}  // namespace

int main(int argc, char** argv) {
  Flags flags(argc, argv, {"quick", "korvexd", "workdir", "rounds", "list-rounds", "names", "no-upload", "replace"});
  const bool replace = flags.has("replace");
  const bool quick = flags.has("quick");
  const int rounds = static_cast<int>(flags.number("rounds", quick ? 30 : 300));
  const int listRounds = static_cast<int>(flags.number("list-rounds", quick ? 30 : 300));
  const std::vector<long> sizes = flags.numbers("names", "100,1000,10000");
  armWatchdog(quick ? 300 : 1500);

  std::printf("== latency tails against korvexd, nothing pinned: %d rounds of upload (%llu bytes) + one command, "
              "%d rounds of listings of %s names\n",
              flags.has("no-upload") ? 0 : rounds, static_cast<unsigned long long>(kUploadBytes), listRounds,
              flags.text("names", "100,1000,10000").c_str());
  ScratchDir scratch(flags.text("workdir", ""), "korvex-bench-latency");
  const fs::path root = scratch.subdir("root");
  const fs::path local = scratch.subdir("local");
  makeFile(root / "probe.bin", 4096, 1);
  makeFile(local / "upload.bin", kUploadBytes, 2);
  for (const long n : sizes) {
    const fs::path dir = scratch.subdir("root/names" + std::to_string(n));
    for (long i = 0; i < n; ++i) {
      char name[64];
      std::snprintf(name, sizeof name, "entry_%06ld_recorded_clip.mp4", i);
      std::FILE* f = std::fopen((dir / name).c_str(), "wb");
      if (!f) {
        std::perror(name);
        finish(1);
      }
      std::fclose(f);
    }
  }
  settle();

  const auto service = startService(flags, scratch, root, kPassword);
  SessionHandle session = connectOrFinish(service->address(), kPassword);
  // The same listings by a bare client, to tell the service's share of a
  // listing's time from the library's.
  RawClient raw(service->port(), RawClient::Waits::Blocking);
  if (!raw.connected() || !raw.login(kPassword)) {
    std::fprintf(stderr, "raw login failed\n");
    finish(1);
  }

  raw.sendAtOnce();  // as the library: no Nagle delay after an upload's tail

  bool ok = true;
  if (!flags.has("no-upload")) {
    std::ifstream in(local / "upload.bin", std::ios::binary);
    const korvex::test::Bytes content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<double> command, pattern, bareCommand;
    // Round 0 is an untimed warm-up.
    for (int r = 0; r <= rounds && ok; ++r) {
      // A new name each round, as a host adding files does; --replace
      // uploads over one of two existing files instead.
      const std::string dest = "/up" + std::to_string(replace ? r % 2 : r) + ".bin";
      const double start = nowSeconds();
      const bool uploaded = CopyToPhone(session, (local / "upload.bin").c_str(), dest.c_str());
      const double between = nowSeconds();
      const bool answered = Exists(session, "/probe.bin") == 1;
      const double end = nowSeconds();
      if (!uploaded || !answered) {
        std::fprintf(stderr, "round %d: upload %d, command %d\n", r, uploaded, answered);
        ok = false;
      }
      if (!replace) fs::remove(root / dest.substr(1));
      // The same by a bare client: what the service and the machine add.
      const std::string bareDest = "/bare" + std::to_string(replace ? r % 2 : r) + ".bin";
      const bool bareUploaded = raw.upload(bareDest, content) == 0;
      const double bareBetween = nowSeconds();
      const bool bareAnswered = raw.status(proto::CMD_EXISTS, proto::pathBlock("/probe.bin")).has_value();
      const double bareEnd = nowSeconds();
      if (!bareUploaded || !bareAnswered) {
        std::fprintf(stderr, "round %d: bare upload %d, command %d\n", r, bareUploaded, bareAnswered);
        ok = false;
      }
      if (!replace) fs::remove(root / bareDest.substr(1));
      if (r > 0) {
        command.push_back((end - between) * 1e3);
        pattern.push_back((end - start) * 1e3);
        bareCommand.push_back((bareEnd - bareBetween) * 1e3);
      }
    }
    if (ok) {
      judge("first command after an upload", command, 2.0);
      showBare("first command after an upload", bareCommand);
      judge("upload of 1 MiB + one command", pattern, 2.0);
    }
  }

  std::vector<double> medians, rawMedians;  // per size, in order
  for (const long n : sizes) {
    if (!ok) break;
    const std::string path = "/names" + std::to_string(n);
    std::vector<double> times, rawTimes;
    std::vector<std::uint8_t> records(static_cast<std::size_t>(n) * proto::NAME_RECORD_SIZE);
    const proto::RequestBlock listing = proto::pathBlock(path);
    for (int r = 0; r <= listRounds && ok; ++r) {
      const double rawStart = nowSeconds();
      const auto header = raw.request(proto::CMD_LIST_FILES, listing) ? raw.reply() : std::nullopt;
      std::uint8_t countBytes[proto::LIST_COUNT_SIZE];
      if (!header || header->status != 0 || raw.receive(countBytes, sizeof countBytes) != sizeof countBytes ||
          proto::getWord(countBytes) != static_cast<std::uint32_t>(n) ||
          raw.receive(records.data(), records.size()) != records.size()) {
        std::fprintf(stderr, "raw listing of %s failed\n", path.c_str());
        ok = false;
        break;
      }
      if (r > 0) rawTimes.push_back((nowSeconds() - rawStart) * 1e3);
      char* out = nullptr;
      const double start = nowSeconds();
      const int length = GetFiles(session, path.c_str(), &out);
      const double seconds = nowSeconds() - start;
      long names = 0;
      for (int i = 0; i < length; ++i) names += out[i] == '/';
      FreeBuffer(out);
      if (names != n) {
        std::fprintf(stderr, "GetFiles %s gave %ld names, expected %ld\n", path.c_str(), names, n);
        ok = false;
      }
      if (r > 0) times.push_back(seconds * 1e3);
    }
    if (!ok) break;
    judge(format("GetFiles of %ld names", n), times, 2.0);
    // A large listing is also held to a tighter tail.
    if (n >= 10000) {
      const Tail t = tailOf(times);
      summaryLine(format("GetFiles of %ld names: p99 vs median, tight", n), format("p99 %.3f ms", t.p99),
                  format("p50 %.3f ms", t.p50), t.p99 / t.p50, "<= 1.2", t.p99 / t.p50 <= 1.2);
    }
    showBare(format("GetFiles of %ld names", n), rawTimes);
    medians.push_back(tailOf(times).p50);
    rawMedians.push_back(median(rawTimes));
  }

  // Peak memory, after the timing: large blocks now come straight from the
  // system and go back on release, so the peak resident size over one
  // listing is what that listing held at its height.
  mallopt(M_MMAP_THRESHOLD, 64 * 1024);
  mallopt(M_TRIM_THRESHOLD, 64 * 1024);
  malloc_trim(0);
  for (std::size_t i = 0; ok && i < medians.size(); ++i) {
    const std::string path = "/names" + std::to_string(sizes[i]);
    const long before = residentKiB();
    if (!resetPeakResident()) break;
    char* out = nullptr;
    const int length = GetFiles(session, path.c_str(), &out);
    const long peak = peakResidentKiB() - before;
    FreeBuffer(out);
    std::printf("GetFiles of %ld names: %d bytes of result, peak resident memory added %ld KiB\n", sizes[i], length,
                peak);
    infoLine(format("GetFiles of %ld names: time p50 (raw client), peak memory added", sizes[i]),
             format("%.3f ms (%.3f ms), %ld KiB", medians[i], rawMedians[i], peak));
  }
  service->stop();
  scratch.remove();
  finish(ok ? 0 : 1);
}
