// Command latency: Exists and FileSize round trips and a 10,000-name GetFiles
// on one library session, against a raw client sending the same bytes
// (code and block in one write) on its own connection. Run against korvexd
// and against an in-process peer that answers at once.
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common.h"
#include "korvex.h"
#include "raw_client.h"
#include "scripted_peer.h"
#include "protocol.h"

using namespace korvex::bench;
using korvex::test::RawClient;
namespace proto = korvex::protocol;

namespace {


struct Settings {
  int rounds;      // blocks of round trips per client, alternating
  int iterations;  // round trips per block
  int listRounds;  // blocks of listings per client, alternating
  int listings;    // listings per block
  std::uint32_t names;
};

// Seconds for `count` calls of `step`; -1 when a call fails.
double timeLoop(int count, const std::function<bool()>& step) {
  const double start = nowSeconds();
  for (int i = 0; i < count; ++i) {
    if (!step()) return -1;
  }
  return nowSeconds() - start;
}

struct Pair {
  std::vector<double> library;  // per round, microseconds per call
  std::vector<double> raw;
};

// Runs short blocks of each loop in turn, alternating which goes first, so
// both sides meet the same passing states of the machine; many short blocks
// give a steadier median than a few long ones.
bool measure(int rounds, int count, const std::function<bool()>& lib, const std::function<bool()>& raw,
             Pair& out) {
  // One untimed warm-up each.
  if (timeLoop(count, lib) < 0 || timeLoop(count, raw) < 0) return false;
  for (int r = 0; r < rounds; ++r) {
    for (int side = 0; side < 2; ++side) {
      const bool libraryTurn = (side == 0) == (r % 2 == 0);
      const double t = timeLoop(count, libraryTurn ? lib : raw);
      if (t < 0) return false;
      (libraryTurn ? out.library : out.raw).push_back(t * 1e6 / count);
    }
  }
  return true;
}

void report(const std::string& target, const std::string& what, const Pair& p, double limit, bool judged,
            const char* unit, double scale) {
  const double lib = median(p.library) * scale;
  const double raw = median(p.raw) * scale;
  const double ratio = lib / raw;
  std::printf("[%s] %-16s library %9.2f %s (min %.2f p90 %.2f)  raw %9.2f %s (min %.2f p90 %.2f)  library/raw %.3f",
              target.c_str(), what.c_str(), lib, unit, percentile(p.library, 0) * scale,
              percentile(p.library, 90) * scale, raw, unit, percentile(p.raw, 0) * scale, percentile(p.raw, 90) * scale,
              ratio);
  if (std::strcmp(unit, "us") == 0) std::printf("  (%.0f vs %.0f per s)", 1e6 / lib, 1e6 / raw);
  std::printf("\n");
  const std::string name = "latency " + what + " @" + target;
  const std::string libText = format("%.2f %s", lib, unit);
  const std::string rawText = format("%.2f %s", raw, unit);
  if (judged) {
    summaryLine(name, libText, rawText, ratio, format("<= %.2f", limit), ratio <= limit);
  } else {
    summaryLine(name, libText, rawText, ratio, "-", true);
  }
}

// Measures one service (korvexd or the quick peer) at `port`.
bool runTarget(const std::string& target, std::uint16_t port, const std::string& password,
               const std::string& probePath, std::uint32_t probeSize, const std::string& listPath,
               const Settings& s, bool judged) {
  const std::string address = "127.0.0.1:" + std::to_string(port);
  int error = 0;
  SessionHandle session = Connect(address.c_str(), password.c_str(), &error);
  if (!session) {
    std::fprintf(stderr, "[%s] Connect failed: %d\n", target.c_str(), error);
    return false;
  }
  RawClient raw(port, RawClient::Waits::Blocking);
  if (!raw.connected() || !raw.login(password)) {
    std::fprintf(stderr, "[%s] raw login failed\n", target.c_str());
    return false;
  }

  // Built once, so the raw loop does no more than send and receive.
  const proto::RequestBlock probe = proto::pathBlock(probePath);
  const proto::RequestBlock listing = proto::pathBlock(listPath);
  auto libExists = [&] { return Exists(session, probePath.c_str()) == 1; };
  auto rawExists = [&] { return raw.status(proto::CMD_EXISTS, probe) == 1; };
  auto libSize = [&] { return FileSize(session, probePath.c_str()) == static_cast<int>(probeSize); };
  auto rawSize = [&] {
    const auto header = raw.request(proto::CMD_FILE_SIZE, probe) ? raw.reply() : std::nullopt;
    return header && header->status == 0 && header->value == probeSize;
  };
  // The raw listing takes the same bytes in as few receives as the socket allows.
  std::vector<std::uint8_t> records(static_cast<std::size_t>(s.names) * proto::NAME_RECORD_SIZE);
  auto libList = [&] {
    char* out = nullptr;
    const int length = GetFiles(session, listPath.c_str(), &out);
    FreeBuffer(out);
    return length > 0;
  };
  auto rawList = [&] {
    const auto header = raw.request(proto::CMD_LIST_FILES, listing) ? raw.reply() : std::nullopt;
    std::uint8_t countBytes[proto::LIST_COUNT_SIZE];
    if (!header || header->status != 0 || raw.receive(countBytes, sizeof countBytes) != sizeof countBytes) {
      return false;
    }
    const std::size_t size = static_cast<std::size_t>(proto::getWord(countBytes)) * proto::NAME_RECORD_SIZE;
    return size == records.size() && raw.receive(records.data(), size) == size;
  };

  // The listing must hold every name before it is worth timing.
  {
    char* out = nullptr;
    const int length = GetFiles(session, listPath.c_str(), &out);
    std::size_t slashes = 0;
    for (int i = 0; i < length; ++i) slashes += out[i] == '/';
    FreeBuffer(out);
    if (slashes != s.names) {
      std::fprintf(stderr, "[%s] GetFiles gave %zu names, expected %u\n", target.c_str(), slashes, s.names);
      return false;
    }
  }

  Pair exists, size, list;
  if (!measure(s.rounds, s.iterations, libExists, rawExists, exists) ||
      !measure(s.rounds, s.iterations, libSize, rawSize, size) ||
      !measure(s.listRounds, s.listings, libList, rawList, list)) {
    std::fprintf(stderr, "[%s] a request failed during measurement\n", target.c_str());
    return false;
  }
  report(target, "Exists", exists, 1.15, judged, "us", 1);
  report(target, "FileSize", size, 1.15, judged, "us", 1);
  // The listing is judged against the quick peer too, where the client's own
  // cost (allocation, copying the names) is most of the time.
  report(target, format("GetFiles %u", s.names), list, 1.2, true, "ms", 1e-3);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Flags flags(argc, argv,
              {"quick", "korvexd", "workdir", "rounds", "iterations", "list-rounds", "listings", "names", "no-peer", "pin"});
  const bool quick = flags.has("quick");
  Settings s{};
  s.rounds = static_cast<int>(flags.number("rounds", quick ? 10 : 100));
  s.iterations = static_cast<int>(flags.number("iterations", quick ? 100 : 300));
  // One listing per block: now and then a listing stalls for tens of
  // milliseconds (on either client), and a block mean would carry the stall
  // into the median.
  s.listRounds = static_cast<int>(flags.number("list-rounds", quick ? 6 : 140));
  s.listings = static_cast<int>(flags.number("listings", 1));
  s.names = static_cast<std::uint32_t>(flags.number("names", 10000));
  armWatchdog(quick ? 120 : 900);

  std::printf("== command latency: %d alternating blocks of %d round trips, %d of %d listings of %u names; "
              "medians over blocks\n",
              s.rounds, s.iterations, s.listRounds, s.listings, s.names);
  // Where the two ends run decides most of a loopback round trip on a small
  // machine: on one CPU a reply is a context switch, across two it is a
  // cross-CPU wake-up, and left to the scheduler each block gets either.
  // "same": everything on one CPU (the default: steady, and every system
  // call on either side shows); "split": clients on one CPU, services on
  // another; "none": no pinning.
  const std::string pin = flags.text("pin", "same");
  const std::vector<int> cpus = allowedCpus();
  int serviceCpu = -1;
  if (pin == "same" || (pin == "split" && cpus.size() >= 2)) {
    pinThread(0, cpus.at(0));  // korvexd and the peer inherit this
    if (pin == "split") serviceCpu = cpus.at(1);
  } else if (pin != "none") {
    std::fprintf(stderr, "--pin wants same, split or none%s\n", pin == "split" ? " (split needs two CPUs)" : "");
    return 2;
  }
  std::printf("pinning: %s\n", pin == "same"    ? "clients and services on one CPU"
                                : pin == "split" ? "clients on one CPU, services on another"
                                                 : "none");
  ScratchDir scratch(flags.text("workdir", ""), "korvex-bench-commands");
  const auto root = scratch.path() / "root";
  std::filesystem::create_directories(root / "names");
  constexpr std::uint32_t kProbeSize = 4096;
  makeFile(root / "probe.bin", kProbeSize, 1);
  std::vector<std::string> names;
  for (std::uint32_t i = 0; i < s.names; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "entry_%05u_recorded_clip.mp4", i);
    names.push_back(name);
    std::FILE* f = std::fopen((root / "names" / name).c_str(), "wb");
    if (!f) {
      std::perror(name);
      finish(1);
    }
    std::fclose(f);
  }

  bool ok = true;
  {
    const auto service = startService(flags, scratch, root, kPassword);
    // korvexd's main thread creates every connection thread after this.
    if (serviceCpu >= 0) pinThread(static_cast<pid_t>(service->pid()), serviceCpu);
    ok &= runTarget("korvexd", service->port(), kPassword, "/probe.bin", kProbeSize, "/names", s, true);
  }
  if (!flags.has("no-peer")) {
    korvex::test::AnsweringPeer peer(names, [serviceCpu] {
      if (serviceCpu >= 0) pinThread(0, serviceCpu);
    });
    ok &= runTarget("quick-peer", peer.port(), kPassword, "/probe.bin", korvex::test::AnsweringPeer::kFileSize,
                    "/names", s, false);
  }
  scratch.remove();
  if (!ok) std::fprintf(stderr, "command benchmark failed\n");
  finish(ok ? 0 : 1);
}
