// korvexd under a crowd, and with a large folder.
//
//   bench_crowd [--clients 1000] [--seconds 60] [--workers 50] [--names 10000,50000,100000]
//               [--list-rounds 3] [--no-crowd] [--no-listing] [--quick]
//
// The crowd: --clients bare clients log in and stay logged in while
// --workers threads drive them through mixed commands for --seconds (uploads,
// downloads, sizes, listings, renames, deletes, folders, keep-alives), each
// client in a folder of its own and checking every answer against what it
// wrote. korvexd's threads, descriptors and resident memory are sampled all
// along; once the clients leave they must be back where they started.
//
// The folder: --names files in one folder listed with their sizes through
// GetEntries; time and peak resident memory of korvexd and of this process
// (the client) per size, which should grow linearly.
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "common.h"
#include "process_counts.h"
#include "raw_client.h"

using namespace korvex::bench;
using korvex::test::Bytes;
using korvex::test::ProcessCounts;
using korvex::test::RawClient;
using korvex::test::patternBytes;
namespace proto = korvex::protocol;
namespace fs = std::filesystem;

namespace {

// One client and what it knows its folder holds.
struct Client {
  std::unique_ptr<RawClient> link;
  std::string dir;                      // "/c17"
  std::map<std::string, Bytes> files;   // name -> content
  bool subdir = false;
};

struct Tally {
  std::atomic<long> operations{0};
  std::atomic<long> wrong{0};
  std::mutex mutex;
  std::vector<std::string> firstWrong;  // guarded by mutex

  void wrongAnswer(const std::string& what) {
    if (++wrong > 10) return;
    std::lock_guard lock(mutex);
    firstWrong.push_back(what);
  }
};

const Bytes& sharedContent() {
  static const Bytes content = patternBytes(48 * 1024, 7);
  return content;
}

std::vector<std::string> sortedNames(const std::map<std::string, Bytes>& files) {
  std::vector<std::string> names;
  for (const auto& [name, content] : files) names.push_back(name);
  return names;
}

// One command on `c`, its answer checked; false (with the tally told why)
// when the answer was wrong or the exchange broke.
bool step(Client& c, std::mt19937& random, Tally& tally) {
  auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
  const std::string name = "f" + std::to_string(pick(4));
  const std::string path = c.dir + "/" + name;
  const auto known = c.files.find(name);
  auto wrong = [&](const char* what) {
    tally.wrongAnswer(std::string(what) + " " + path);
    return false;
  };
  RawClient& link = *c.link;
  const int choice = pick(100);
  if (choice < 20) {
    Bytes content = patternBytes(static_cast<std::size_t>(1 + pick(8192)), random());
    if (link.upload(path, content) != 0) return wrong("UPLOAD refused");
    c.files[name] = std::move(content);
  } else if (choice < 40) {
    const auto got = link.download(path);
    if (known == c.files.end() ? got.has_value() : got != known->second) return wrong("DOWNLOAD answered wrong");
  } else if (choice < 50) {
    if (!link.request(proto::CMD_FILE_SIZE, proto::pathBlock(path))) return wrong("FILE_SIZE broke");
    const auto header = link.reply();
    const bool right = known == c.files.end()
                           ? header && header->status != 0
                           : header && header->status == 0 && header->value == known->second.size();
    if (!right) return wrong("FILE_SIZE answered wrong");
  } else if (choice < 58) {
    if (link.list(proto::CMD_LIST_FILES, c.dir) != sortedNames(c.files)) return wrong("LIST_FILES answered wrong");
  } else if (choice < 63) {
    const bool isDir = pick(2) == 0;
    const std::string target = pick(2) == 0 ? path : c.dir + "/sub";
    const bool there = target == path ? known != c.files.end() : c.subdir;
    const bool expected = isDir ? there && target != path : there;
    if (link.status(isDir ? proto::CMD_IS_DIR : proto::CMD_EXISTS, target) != (expected ? 1 : 0))
      return wrong(isDir ? "IS_DIR answered wrong" : "EXISTS answered wrong");
  } else if (choice < 68) {
    const std::string to = "f" + std::to_string(pick(4));
    const auto result = link.status(proto::CMD_RENAME, proto::renameBlock(path, c.dir + "/" + to));
    if (known == c.files.end() ? result != 1 : result != 0) return wrong("RENAME answered wrong");
    if (known != c.files.end() && to != name) {
      Bytes moved = std::move(known->second);
      c.files.erase(known);
      c.files[to] = std::move(moved);
    }
  } else if (choice < 73) {
    const auto result = link.status(proto::CMD_DELETE_FILE, path);
    if (known == c.files.end() ? result != 1 : result != 0) return wrong("DELETE_FILE answered wrong");
    if (known != c.files.end()) c.files.erase(known);
  } else if (choice < 80) {
    const std::string sub = c.dir + "/sub";
    const auto result = c.subdir ? link.status(proto::CMD_DELETE_DIR, proto::deleteDirBlock(sub, false))
                                 : link.status(proto::CMD_MAKE_DIR, sub);
    if (result != 0) return wrong(c.subdir ? "DELETE_DIR refused" : "MAKE_DIR refused");
    c.subdir = !c.subdir;
    const auto dirs = link.list(proto::CMD_LIST_DIRS, c.dir);
    if (dirs != (c.subdir ? std::vector<std::string>{"sub"} : std::vector<std::string>{}))
      return wrong("LIST_DIRS answered wrong");
  } else if (choice < 88) {
    if (link.status(proto::CMD_KEEPALIVE) != 0) return wrong("KEEPALIVE answered wrong");
  } else if (choice < 92) {
    const auto kib = link.space(c.dir);
    if (!kib || *kib <= 0) return wrong("SPACE_SIZE answered wrong");
  } else {
    if (link.download("/shared.bin") != sharedContent()) return wrong("DOWNLOAD of the shared file answered wrong");
  }
  ++tally.operations;
  return true;
}

struct Peak {
  long threads = 0, handles = 0, residentKiB = 0;
  void take(const ProcessCounts& c) {
    threads = std::max(threads, c.threads);
    handles = std::max(handles, c.handles);
    residentKiB = std::max(residentKiB, c.residentKiB);
  }
};

// The service's counts once its threads are back to `threads`, or after 10 s.
ProcessCounts settled(long pid, long threads) {
  const double deadline = nowSeconds() + 10;
  ProcessCounts now = korvex::test::processCounts(pid);
  while (now.threads > threads && nowSeconds() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    now = korvex::test::processCounts(pid);
  }
  // The last thread to end may still be joining: one more look.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  return korvex::test::processCounts(pid);
}

bool crowd(const Flags& flags, const ScratchDir& scratch, int clients, double seconds, int workers) {
  const fs::path root = scratch.subdir("crowd-root");
  {
    std::ofstream out(root / "shared.bin", std::ios::binary);
    out.write(reinterpret_cast<const char*>(sharedContent().data()), static_cast<std::streamsize>(sharedContent().size()));
  }
  for (int k = 0; k < clients; ++k) fs::create_directories(root / ("c" + std::to_string(k)));
  auto service = startService(flags, scratch, root, kPassword);
  const long pid = service->pid();
  const ProcessCounts before = settled(pid, 1);

  // One after another: past 64 connections still logging in, korvexd drops
  // the oldest, as it would a crowd that never finishes its logins.
  std::vector<Client> all(static_cast<std::size_t>(clients));
  const double loginStart = nowSeconds();
  for (int k = 0; k < clients; ++k) {
    Client& c = all[static_cast<std::size_t>(k)];
    c.link = std::make_unique<RawClient>(service->port());
    c.dir = "/c" + std::to_string(k);
    if (!c.link->connected() || !c.link->login(kPassword)) {
      std::fprintf(stderr, "client %d could not log in; korvexd's log ends:\n%s\n", k,
                   service->log().substr(service->log().size() > 2000 ? service->log().size() - 2000 : 0).c_str());
      return false;
    }
    c.link->sendAtOnce();
  }
  const double loginSeconds = nowSeconds() - loginStart;
  const ProcessCounts loggedIn = korvex::test::processCounts(pid);

  Tally tally;
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int w = 0; w < workers; ++w) {
    threads.emplace_back([&, w] {
      std::mt19937 random(static_cast<unsigned>(w) * 7919u + 36u);
      std::vector<Client*> mine;
      for (int k = w; k < clients; k += workers) mine.push_back(&all[static_cast<std::size_t>(k)]);
      while (!stop && !mine.empty()) {
        Client& c = *mine[std::uniform_int_distribution<std::size_t>(0, mine.size() - 1)(random)];
        if (!step(c, random, tally)) return;  // this worker's clients are out of step now
      }
    });
  }
  Peak peak;
  peak.take(loggedIn);
  const double runStart = nowSeconds();
  while (nowSeconds() - runStart < seconds && tally.wrong == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    peak.take(korvex::test::processCounts(pid));
  }
  stop = true;
  for (std::thread& t : threads) t.join();
  const double ran = nowSeconds() - runStart;
  const ProcessCounts idle = korvex::test::processCounts(pid);
  all.clear();  // every client leaves
  const ProcessCounts after = settled(pid, before.threads);

  std::printf("%d clients logged in one after another in %.2f s; %ld commands in %.1f s (%.0f/s) by %d workers, "
              "%ld wrong answers\n",
              clients, loginSeconds, tally.operations.load(), ran, tally.operations / ran, workers, tally.wrong.load());
  for (const std::string& what : tally.firstWrong) std::printf("  wrong: %s\n", what.c_str());
  std::printf("korvexd: threads %ld -> peak %ld -> %ld after; descriptors %ld -> peak %ld -> %ld after; resident "
              "%ld KiB -> %ld logged in -> peak %ld -> %ld idle -> %ld KiB after the clients left\n",
              before.threads, peak.threads, after.threads, before.handles, peak.handles, after.handles,
              before.residentKiB, loggedIn.residentKiB, peak.residentKiB, idle.residentKiB, after.residentKiB);
  const double perClient = static_cast<double>(peak.residentKiB - before.residentKiB) / clients;
  summaryLine(format("%d clients for %.0f s: commands, wrong answers", clients, ran),
              format("%ld, %ld wrong", tally.operations.load(), tally.wrong.load()), "-", 0, "0 wrong",
              tally.wrong == 0 && tally.operations > 0);
  // One thread and one socket per client, besides the service's own; a
  // command holds at most two more descriptors (an upload: its folder and
  // its temporary file).
  const bool bounded = peak.threads <= before.threads + clients &&
                       peak.handles <= before.handles + clients + 2 * workers;
  summaryLine(format("korvexd's peak threads / descriptors with %d clients", clients),
              format("%ld / %ld", peak.threads, peak.handles), format("%ld / %ld", before.threads, before.handles),
              0, "<= start + a client's, + 2 a command", bounded);
  infoLine(format("korvexd's resident memory with %d clients: peak, per client", clients),
           format("%ld KiB, %.1f KiB", peak.residentKiB, perClient));
  // Given back: what stays is at most a tenth of what the crowd took.
  const long kept = after.residentKiB - before.residentKiB;
  const bool givenBack = after.threads == before.threads && after.handles == before.handles &&
                         kept * 10 <= peak.residentKiB - before.residentKiB;
  summaryLine("korvexd after the clients left: threads / descriptors / resident KiB kept",
              format("%ld / %ld / +%ld", after.threads, after.handles, kept),
              format("%ld / %ld", before.threads, before.handles), 0, "same, <= 10% of the peak's growth",
              givenBack);
  return tally.wrong == 0 && tally.operations > 0 && bounded && givenBack;
}

// A folder of `n` files named n000000.. whose sizes are their number modulo 1000.
std::string sizedFolder(const fs::path& root, long n) {
  const std::string name = "names" + std::to_string(n);
  const fs::path dir = root / name;
  fs::create_directories(dir);
  std::vector<char> bytes(1000, 'x');
  char file[32];
  for (long i = 0; i < n; ++i) {
    std::snprintf(file, sizeof file, "n%06ld", i);
    std::ofstream(dir / file, std::ios::binary).write(bytes.data(), i % 1000);
  }
  return "/" + name;
}

bool listing(const Flags& flags, const ScratchDir& scratch, const std::vector<long>& sizes, int rounds) {
  const fs::path root = scratch.subdir("names-root");
  std::vector<std::string> paths;
  for (long n : sizes) paths.push_back(sizedFolder(root, n));
  // Large blocks come straight from the system and go back on release, so a
  // listing's peak is what it held at its height, not what an earlier one left.
  mallopt(M_MMAP_THRESHOLD, 64 * 1024);
  mallopt(M_TRIM_THRESHOLD, 64 * 1024);
  auto service = startService(flags, scratch, root, kPassword);
  const long pid = service->pid();
  SessionHandle session = connectOrFinish(service->address(), kPassword);
  bool ok = true;
  std::vector<double> msPerThousand, serviceKiBPerThousand, clientKiBPerThousand;
  for (std::size_t i = 0; ok && i < sizes.size(); ++i) {
    const long n = sizes[i];
    std::vector<double> ms;
    long servicePeak = 0, clientPeak = 0;
    for (int r = 0; ok && r < rounds; ++r) {
      malloc_trim(0);
      const long serviceBefore = korvex::test::processCounts(pid).residentKiB;
      const long clientBefore = residentKiB();
      resetPeakResident(pid);
      resetPeakResident();
      KorvexEntry* entries = nullptr;
      const double start = nowSeconds();
      const int count = GetEntries(session, paths[i].c_str(), &entries);
      ms.push_back((nowSeconds() - start) * 1000);
      servicePeak = std::max(servicePeak, peakResidentKiB(pid) - serviceBefore);
      clientPeak = std::max(clientPeak, peakResidentKiB() - clientBefore);
      for (long e = 0; ok && e < count; ++e) {
        ok = entries[e].isDirectory == 0 && entries[e].size == static_cast<unsigned>(std::atol(entries[e].name + 1) % 1000);
      }
      if (count != n || !ok) {
        std::fprintf(stderr, "GetEntries %s gave %d entries, expected %ld%s\n", paths[i].c_str(), count, n,
                     ok ? "" : ", a size wrong");
        ok = false;
      }
      FreeEntries(entries);
    }
    const double t = median(ms);
    std::printf("%ld names listed with sizes: %.1f ms (median of %d); peak resident memory added: korvexd %ld KiB, "
                "client %ld KiB\n",
                n, t, rounds, servicePeak, clientPeak);
    infoLine(format("GetEntries of %ld names: time, korvexd's and the client's peak memory added", n),
             format("%.1f ms, %ld KiB, %ld KiB", t, servicePeak, clientPeak));
    msPerThousand.push_back(t * 1000 / n);
    serviceKiBPerThousand.push_back(servicePeak * 1000.0 / n);
    clientKiBPerThousand.push_back(clientPeak * 1000.0 / n);
  }
  Disconnect(session);
  if (!ok || sizes.size() < 2) return ok;
  // Linear: the cost per name at the largest size within twice that at the smallest.
  auto linear = [&](const char* what, const std::vector<double>& per) {
    const double ratio = per.back() / std::max(per.front(), 1e-9);
    summaryLine(format("GetEntries %s per 1000 names, %ld names against %ld", what, sizes.back(), sizes.front()),
                format("%.2f", per.back()), format("%.2f", per.front()), ratio, "<= 2", ratio <= 2.0);
    return ratio <= 2.0;
  };
  const bool timeLinear = linear("ms", msPerThousand);
  const bool serviceLinear = linear("korvexd KiB", serviceKiBPerThousand);
  const bool clientLinear = linear("client KiB", clientKiBPerThousand);
  return timeLinear && serviceLinear && clientLinear;
}

}  // namespace

int main(int argc, char** argv) {
  Flags flags(argc, argv, {"quick", "korvexd", "workdir", "clients", "seconds", "workers", "names", "list-rounds",
                           "no-crowd", "no-listing"});
  const bool quick = flags.has("quick");
  const int clients = static_cast<int>(flags.number("clients", quick ? 200 : 1000));
  const double seconds = static_cast<double>(flags.number("seconds", quick ? 5 : 60));
  const int workers = static_cast<int>(std::max(1L, flags.number("workers", 50)));
  const std::vector<long> names = flags.numbers("names", quick ? "1000,5000,10000" : "10000,50000,100000");
  const int rounds = static_cast<int>(flags.number("list-rounds", quick ? 1 : 3));
  armWatchdog(static_cast<int>(seconds) + 600);
  // Each client's socket here and its connection in korvexd, which inherits
  // the limit: the default soft limit of 1024 would stop the crowd short.
  raiseDescriptorLimit(static_cast<std::uint64_t>(clients) * 2 + 256);
  ScratchDir scratch(flags.text("workdir", ""), "korvex-crowd");
  bool ok = true;
  if (!flags.has("no-crowd")) {
    std::printf("== crowd: %d clients logged in at once, mixed commands for %.0f s\n", clients, seconds);
    ok = crowd(flags, scratch, clients, seconds, workers) && ok;
  }
  if (!flags.has("no-listing")) {
    std::printf("== folders listed with sizes (GetEntries), %d rounds each\n", rounds);
    ok = listing(flags, scratch, names, rounds) && ok;
  }
  scratch.remove();
  finish(ok ? 0 : 1);
}
