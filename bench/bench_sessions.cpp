// Sessions that end: Connect + Disconnect cycles against korvexd beside a
// bare client that connects and logs in, and what lost sessions keep. Each
// check compares the process's threads, descriptors and resident memory with
// a baseline taken in the same run.
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "common.h"
#include "korvex.h"
#include "process_counts.h"
#include "raw_client.h"

using namespace korvex::bench;
using korvex::test::ProcessCounts;
using korvex::test::processCounts;
using korvex::test::settledCounts;

namespace {

bool connected(SessionHandle session, std::size_t addressLength) {
  char state = 0;
  std::vector<char> address(addressLength + 1);
  char name[64];
  ConnectionState(session, &state, address.data(), name);
  return state != 0;
}

// Cycles per second of `cycle`, over `count` rounds.
template <typename Cycle>
double rate(int count, Cycle cycle) {
  const double start = nowSeconds();
  for (int i = 0; i < count; ++i) {
    if (!cycle()) {
      std::fprintf(stderr, "cycle %d failed\n", i);
      finish(1);
    }
  }
  return count / (nowSeconds() - start);
}

bool cyclesLeaveNothing(korvex::test::ServiceProcess& service, int cycles) {
  const std::string address = service.address();
  const std::string password = service.password();
  auto library = [&] {
    SessionHandle session = Connect(address.c_str(), password.c_str(), nullptr);
    return session != nullptr && Disconnect(session);
  };
  auto bare = [&] {
    korvex::test::RawClient client(service.port(), korvex::test::RawClient::Waits::Blocking);
    return client.connected() && client.login(password).has_value();
  };
  library();  // the library's one-time costs, outside the baseline
  const ProcessCounts before = processCounts();
  const double libraryRate = rate(cycles, library);
  const double bareRate = rate(cycles, bare);
  const ProcessCounts after = settledCounts(before);
  std::printf("%d cycles: library %.0f/s, bare client %.0f/s; threads %ld -> %ld, descriptors %ld -> %ld, "
              "resident %ld -> %ld KiB\n",
              cycles, libraryRate, bareRate, before.threads, after.threads, before.handles, after.handles,
              before.residentKiB, after.residentKiB);
  summaryLine("Connect + Disconnect per second", format("%.0f/s", libraryRate), format("bare %.0f/s", bareRate),
              libraryRate / bareRate, "-", true);
  const bool flat = after.threads == before.threads && after.handles == before.handles &&
                    after.residentKiB - before.residentKiB <= 4096;
  summaryLine(format("%d cycles leave threads, descriptors, memory (+%ld KiB)", cycles,
                     after.residentKiB - before.residentKiB),
              format("%ld/%ld", after.threads, after.handles), format("%ld/%ld", before.threads, before.handles),
              1.0, "same, <= +4096 KiB", flat);
  return flat;
}

// Opens `count` sessions on a service of their own, then stops the service:
// every keep-alive finds its link gone. Returns once all read as lost.
void loseSessions(int count, std::vector<SessionHandle>& sessions) {
  korvex::test::ServiceProcess service;
  const std::string address = service.address();
  const std::size_t first = sessions.size();
  for (int i = 0; i < count; ++i) {
    SessionHandle session = Connect(address.c_str(), service.password().c_str(), nullptr);
    if (!session) {
      std::fprintf(stderr, "connect %d failed\n", i);
      finish(1);
    }
    sessions.push_back(session);
  }
  service.stop();
  const double deadline = nowSeconds() + 30;
  for (std::size_t i = first; i < sessions.size(); ++i) {
    while (connected(sessions[i], address.size()) && nowSeconds() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
}

// What a lost session keeps, after its thread has ended. Two groups of
// `count`: the second one's growth is the cost per session, apart from what
// the first paid once (the C library keeps the stacks of ended threads for
// reuse, up to a fixed bound).
bool lostSessionsKeepLittle(int count) {
  std::vector<SessionHandle> sessions;
  const ProcessCounts before = processCounts();
  loseSessions(count, sessions);
  const ProcessCounts first = settledCounts(before);
  loseSessions(count, sessions);
  const ProcessCounts second = settledCounts(before);
  const double average = static_cast<double>(first.residentKiB - before.residentKiB) / count;
  const double marginal = static_cast<double>(second.residentKiB - first.residentKiB) / count;
  std::printf("lost sessions: threads %ld -> %ld -> %ld, descriptors %ld -> %ld -> %ld, resident %ld -> %ld -> %ld KiB; "
              "first %d: %.2f KiB each, the next %d: %.2f KiB each\n",
              before.threads, first.threads, second.threads, before.handles, first.handles, second.handles,
              before.residentKiB, first.residentKiB, second.residentKiB, count, average, count, marginal);
  const bool small = second.threads == before.threads && second.handles == before.handles && marginal <= 2.0;
  summaryLine(format("resident memory per lost session (the second %d; the first %.2f KiB)", count, average),
              format("%.2f KiB", marginal), "-", 0, "<= 2 KiB, threads and descriptors back", small);
  for (SessionHandle session : sessions) Disconnect(session);
  std::printf("after Disconnect of each: resident %ld KiB\n", settledCounts(before).residentKiB);
  return small;
}

}  // namespace

int main(int argc, char** argv) {
  Flags flags(argc, argv, {"quick", "workdir", "cycles", "lost"});  // no scratch files: --workdir is taken and unused
  const bool quick = flags.has("quick");
  armWatchdog(300);
  const int cycles = static_cast<int>(flags.number("cycles", quick ? 500 : 2000));
  const int lost = static_cast<int>(flags.number("lost", quick ? 200 : 1000));
  std::printf("== sessions: %d Connect + Disconnect cycles against korvexd beside a bare client; %d lost sessions\n",
              cycles, lost);
  bool ok = true;
  {
    korvex::test::ServiceProcess service;
    ok = cyclesLeaveNothing(service, cycles);
  }
  ok = lostSessionsKeepLittle(lost) && ok;
  finish(ok ? 0 : 1);
}
