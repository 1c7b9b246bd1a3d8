// Every exchange with a fault at every interesting byte k (0, 1, both sides
// of every step and field boundary, the edges of records and data pieces):
// the scripted peer
//   close    closes the connection after k bytes;
//   stall    goes silent after k bytes, and once the export has given up
//            sends the rest it owed, then answers a next request;
//   garbage  sends random bytes from byte k on, then closes;
//   value    replaces the 32-bit status, size or count at byte k by 0, 1,
//            0x7FFFFFFF, 0xFFFFFFFF or a negative number, then closes.
// For each case:
//   - the export returns within its bound; after a close or a stall it never
//     reports success, and a failed download leaves no file of full size;
//   - the next command on the session fails at once or gets its own reply,
//     never the late bytes of the broken exchange;
//   - a background copy ends at -2, at -1 when its log-in failed, or (when a
//     lie made the exchange shorter) with all it was told; CloseTransHandle
//     returns promptly;
//   - no descriptor or thread is left once every session has ended.
// The exchanges' time-out is shortened for this test only.
//
// An upload has no closing reply: once its last bytes sit in the socket the
// client has nothing left to wait for, so a fault while the phone is still
// reading the data cannot fail CopyToPhone. Those cases check the rest only.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "korvex.h"
#include "session/login.h"
#include "protocol.h"
#include "process_counts.h"
#include "session_fixture.h"
#include "temp_dir.h"

namespace korvex::test {
namespace {

using namespace protocol;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Sanitizer builds run many times slower: give every wait more room there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kTimeoutMs = 1000;
#else
constexpr int kTimeoutMs = 250;
#endif
// Any export: a keep-alive ahead of it, then its own write and read, each a
// wait of at most the time-out; the rest is slack for a loaded machine.
constexpr milliseconds kBound(6 * kTimeoutMs + 1500);
constexpr std::uint32_t kFileSize = 3001;  // pieces of 1500, 1500 and 1

// What the peer does at one point of an exchange.
struct Step {
  enum Kind { Accept, Expect, Send } kind;
  Bytes bytes;        // Send: the bytes; Expect: only the size counts
  bool request = false;  // Expect of a request: keep-alives before it are answered
  std::vector<std::size_t> fields;  // Send: offsets of 32-bit counts and sizes
};

Step accept() { return {Step::Accept, {}, false, {}}; }
Step expect(std::size_t n, bool request = false) { return {Step::Expect, Bytes(n), request, {}}; }
Step send(Bytes bytes, std::vector<std::size_t> fields = {}) { return {Step::Send, std::move(bytes), false, std::move(fields)}; }

Bytes loginReply() {
  const auto name = encodeDeviceName("Phone");
  return concat({zeros(LOGIN_REPLY_SIZE), Bytes(name.begin(), name.end())});
}
Bytes record(std::string_view name) { return pathField(name, NAME_RECORD_SIZE); }

enum class Fault { Close, Stall, Garbage, Value };

struct Case {
  std::size_t row;
  std::size_t at;         // bytes of the exchange (both directions) before the fault
  Fault fault;
  std::uint32_t value = 0;  // Value: the word written at `at`
};

// The outcome of running one export under a fault.
struct Outcome {
  bool success = false;  // the export reported the exchange done
  std::string detail;    // what it returned, for messages
  std::string problem;   // a check of the row's own that failed
};

Outcome result(bool success, std::string detail = {}) { return {success, std::move(detail), {}}; }

struct Context {
  Fault fault = Fault::Close;
  SessionHandle session = nullptr;
  std::string address;          // the peer's
  std::filesystem::path local;  // a local file of this case
  std::string source;           // an upload source of kFileSize bytes
};

struct Row {
  const char* name;
  enum Session { None, Scripted, Answered } session;  // Answered: a responder serves it, the steps a copy's connection
  std::vector<Step> steps;
  std::function<Outcome(Context&)> run;
  bool uploadData = false;  // the last Expect is upload data: success there is not a fault of ours
};

std::string fileText() { return patterned(kFileSize, 5); }

// Polls a background copy to its end, closes it, and checks how it ended:
// done (all of what the phone announced), -2, or -1 when its log-in failed.
// The progress it ended with.
int followTransfer(TransferHandle transfer, std::string& problem) {
  const auto start = Clock::now();
  int total = 0, progress = -1;
  for (;;) {
    GetTransProgress(transfer, &total, &progress);
    if (progress == -2 || (progress >= 0 && progress == total)) break;
    // A copy whose log-in failed stays at -1 for good: its connect and its
    // two log-in waits are long over by then.
    if (progress == -1 && Clock::now() - start > milliseconds(4 * kTimeoutMs + 1000)) break;
    if (Clock::now() - start > 8 * kBound) {
      problem += "no end after " + std::to_string(8 * kBound.count()) + " ms; ";
      break;
    }
    std::this_thread::sleep_for(milliseconds(2));
  }
  const auto closing = Clock::now();
  CloseTransHandle(transfer);
  if (Clock::now() - closing > kBound) problem += "CloseTransHandle was slow; ";
  if (progress != -1 && progress != -2 && progress != total)
    problem += "a copy ended at " + std::to_string(progress) + " of " + std::to_string(total) + "; ";
  return progress;
}

Outcome downloadSeries(Context& c) {
  const std::string stem = c.local.filename().string();
  std::string locals[3];
  for (int i = 0; i < 3; ++i) {
    locals[i] = c.local.string() + "-" + std::to_string(i);
    writeFile(locals[i], "old");
  }
  const char* phones[] = {"/d0", "/d1", "/d2"};
  const char* destinations[] = {locals[0].c_str(), locals[1].c_str(), locals[2].c_str()};
  int landed[3] = {-7, -7, -7};
  const int count = DownloadFiles(c.session, phones, destinations, 3, landed);
  Outcome o = result(count == 3, std::to_string(count));
  const bool told = c.fault == Fault::Close || c.fault == Fault::Stall;  // the peer's bytes were true
  int sum = 0;
  for (int i = 0; i < 3; ++i) {
    sum += landed[i];
    const std::string held = readFile(locals[i]);
    if (landed[i] == 1 && told && held != fileText()) o.problem += "file " + std::to_string(i) + " landed short; ";
    if (landed[i] == 0 && held != "old") o.problem += "file " + std::to_string(i) + " failed but changed; ";
  }
  if (count >= 0 && count != sum) o.problem += "returned " + std::to_string(count) + " for " + std::to_string(sum) + " landed; ";
  if (count < 0 && connectedFlag(c.session)) o.problem += "still connected after the series broke off; ";
  for (const auto& entry : std::filesystem::directory_iterator(c.local.parent_path())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("." + stem + "-", 0) == 0) o.problem += "a temporary file stayed: " + name + "; ";
  }
  return o;
}

std::vector<Row> rows() {
  const Bytes path = zeros(CODE_SIZE + PATH_BLOCK_SIZE);
  std::vector<Row> all;
  all.push_back({"log-in", Row::None, {accept(), expect(PASSWORD_BLOCK_SIZE), send(loginReply())},
                 [](Context& c) {
                   int error = 0;
                   c.session = Connect(c.address.c_str(), "secret", &error);
                   Outcome o = result(c.session != nullptr, "error " + std::to_string(error));
                   if (!c.session && error != 2) o.problem = "a failed log-in gave error " + std::to_string(error);
                   return o;
                 }});
  all.push_back({"FileSize (path block)", Row::Scripted, {expect(CODE_SIZE + PATH_BLOCK_SIZE, true), send(reply(0, 1234), {0, 4})},
                 [](Context& c) {
                   const int size = FileSize(c.session, "/f");
                   return result(size == 1234, std::to_string(size));
                 }});
  all.push_back({"Rename (rename block)", Row::Scripted, {expect(CODE_SIZE + RENAME_BLOCK_SIZE, true), send(reply(0), {0})},
                 [](Context& c) { return result(Rename(c.session, "/a", "/b")); }});
  all.push_back({"DeleteDirectory (flag block)", Row::Scripted,
                 {expect(CODE_SIZE + DELETE_DIR_BLOCK_SIZE, true), send(reply(0), {0})},
                 [](Context& c) { return result(DeleteDirectory(c.session, "/d", true)); }});
  all.push_back({"Chown (owner and group block)", Row::Scripted, {expect(CODE_SIZE + CHOWN_BLOCK_SIZE, true), send(reply(1), {0})},
                 [](Context& c) {
                   return result(Chown(static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(c.session)),
                                        const_cast<char*>("/c"), 1, 2),
                                  "");
                 }});
  all.push_back({"GetSpaceSize (4-byte reply)", Row::Scripted, {expect(CODE_SIZE + PATH_BLOCK_SIZE, true), send(word(4321), {0})},
                 [](Context& c) {
                   const int space = GetSpaceSize(c.session, "/");
                   return result(space == 4321, std::to_string(space));
                 }});
  all.push_back({"Restart (no block)", Row::Scripted, {expect(CODE_SIZE, true), send(reply(1), {0})},
                 [](Context& c) {
                   Restart(c.session);  // true whatever happens: only the bound and the stream are checked
                   return result(false);
                 }});
  const Bytes listing = concat({reply(0), word(3), record("a"), record("bb"), record("c")});
  const std::vector<std::size_t> listingFields = {0, 4, 40};
  all.push_back({"GetFiles", Row::Scripted, {expect(CODE_SIZE + PATH_BLOCK_SIZE, true), send(listing, listingFields)},
                 [](Context& c) {
                   char* names = nullptr;
                   const int n = GetFiles(c.session, "/l", &names);
                   Outcome o = result(n > 0 && names && std::string(names) == "a/bb/c/", std::to_string(n));
                   if (n > 0 && (!names || std::strlen(names) != static_cast<std::size_t>(n)))
                     o.detail += " with a buffer of another length";
                   FreeBuffer(names);
                   return o;
                 }});
  all.push_back({"GetDirectories", Row::Scripted, {expect(CODE_SIZE + PATH_BLOCK_SIZE, true), send(listing, listingFields)},
                 [](Context& c) {
                   char* names = nullptr;
                   const int n = GetDirectories(c.session, "/l", &names);
                   Outcome o = result(n > 0 && names && std::string(names) == "a/bb/c/", std::to_string(n));
                   if (n > 0 && (!names || std::strlen(names) != static_cast<std::size_t>(n)))
                     o.detail += " with a buffer of another length";
                   FreeBuffer(names);
                   return o;
                 }});
  const Bytes download = concat({reply(0, kFileSize), text(fileText())});
  all.push_back({"DownFromPhone", Row::Scripted, {expect(CODE_SIZE + PATH_BLOCK_SIZE, true), send(download, {0, 4})},
                 [](Context& c) {
                   const bool ok = DownFromPhone(c.session, "/d", c.local.string().c_str());
                   return result(ok);
                 }});
  // Three downloads in one series, their requests in one burst: a landed
  // file is whole (unless the peer lied about it), one not landed is as it
  // was with no temporary file beside it, and a break closes the connection.
  all.push_back({"DownloadFiles (3 files)", Row::Scripted,
                 {expect(3 * (CODE_SIZE + PATH_BLOCK_SIZE), true), send(download, {0, 4}), send(download, {0, 4}),
                  send(download, {0, 4})},
                 [](Context& c) { return downloadSeries(c); }});
  all.push_back({"CopyToPhone", Row::Scripted,
                 {expect(CODE_SIZE + UPLOAD_BLOCK_SIZE, true), send(reply(0), {0}), expect(kFileSize)},
                 [](Context& c) { return result(CopyToPhone(c.session, c.source.c_str(), "/u")); },
                 true});
  all.push_back({"DownFromPhoneAsync", Row::Answered,
                 {accept(), expect(PASSWORD_BLOCK_SIZE), send(loginReply()), expect(CODE_SIZE + PATH_BLOCK_SIZE),
                  send(download, {0, 4})},
                 [](Context& c) {
                   Outcome o;
                   TransferHandle t = DownFromPhoneAsync(c.session, "/d", c.local.string().c_str());
                   if (!t) return o;
                   const int progress = followTransfer(t, o.problem);
                   o.success = progress == static_cast<int>(kFileSize);
                   o.detail = "progress " + std::to_string(progress);
                   return o;
                 }});
  all.push_back({"CopyToPhoneAsync", Row::Answered,
                 {accept(), expect(PASSWORD_BLOCK_SIZE), send(loginReply()), expect(CODE_SIZE + UPLOAD_BLOCK_SIZE),
                  send(reply(0), {0}), expect(kFileSize)},
                 [](Context& c) {
                   Outcome o;
                   TransferHandle t = CopyToPhoneAsync(c.session, c.source.c_str(), "/u");
                   if (!t) return o;
                   const int progress = followTransfer(t, o.problem);
                   o.success = progress == static_cast<int>(kFileSize);
                   o.detail = "progress " + std::to_string(progress);
                   return o;
                 },
                 true});
  return all;
}

std::size_t totalBytes(const Row& row) {
  std::size_t n = 0;
  for (const Step& s : row.steps) n += s.bytes.size();
  return n;
}

// The fault points of a row: 0 and 1, both sides of every step boundary, the
// edges of every field and of every 1500-byte data piece.
std::vector<Case> casesOf(std::size_t index, const Row& row) {
  const std::size_t total = totalBytes(row);
  std::set<std::size_t> points = {0, 1};
  std::set<std::size_t> garbage;
  std::vector<std::pair<std::size_t, std::uint32_t>> values;
  std::size_t pos = 0;
  for (const Step& s : row.steps) {
    const std::size_t n = s.bytes.size();
    if (n == 0) continue;
    for (std::size_t p : {pos == 0 ? 0 : pos - 1, pos, pos + 1, pos + n - 1}) points.insert(p);
    if (s.kind == Step::Send) {
      garbage.insert(pos);
      for (std::size_t f : s.fields) {
        for (std::size_t p : {pos + f, pos + f + 1, pos + f + 4}) points.insert(p);
        garbage.insert(pos + f + 4);
        for (std::uint32_t v : {0u, 1u, 0x7FFFFFFFu, 0xFFFFFFFFu, 0xFFFFFF38u /* -200 */}) values.push_back({pos + f, v});
      }
      // Data pieces: a listing's 256-byte records, a download's 1500-byte pieces.
      for (std::size_t at = 44; at + 1 < n && n > 44 && s.fields.size() == 3; at += NAME_RECORD_SIZE)
        for (std::size_t p : {pos + at - 1, pos + at, pos + at + 1}) points.insert(p);
      for (std::size_t at = 40 + 1500; n == 40 + kFileSize && at < n; at += 1500)
        for (std::size_t p : {pos + at - 1, pos + at, pos + at + 1}) points.insert(p);
      if (n > 40) garbage.insert(pos + 40 + (n - 40) / 2);
    } else if (n == kFileSize) {
      for (std::size_t p : {pos + 1499, pos + 1500, pos + 1501}) points.insert(p);
    }
    pos += n;
  }
  std::vector<Case> cases;
  for (std::size_t p : points) {
    if (p >= total) continue;
    cases.push_back({index, p, Fault::Close});
    cases.push_back({index, p, Fault::Stall});
  }
  for (std::size_t p : garbage)
    if (p < total) cases.push_back({index, p, Fault::Garbage});
  for (auto [p, v] : values) cases.push_back({index, p, Fault::Value, v});
  return cases;
}

const char* faultName(Fault f) {
  switch (f) {
    case Fault::Close: return "close";
    case Fault::Stall: return "stall";
    case Fault::Garbage: return "garbage";
    case Fault::Value: return "value";
  }
  return "?";
}

// Plays a row's steps up to the fault, then the fault. `returned` says when
// the export is back, for what a stall does afterwards.
void playPeer(ScriptedPeer& peer, const Row& row, const Case& c, std::shared_future<void> returned) {
  std::size_t pos = 0;
  Bytes late;  // what the peer would still have sent
  bool faulted = false;
  for (const Step& s : row.steps) {
    if (s.kind == Step::Accept) {
      if (faulted) continue;
      if (!peer.accept(5000)) return;
      continue;
    }
    const std::size_t n = s.bytes.size();
    if (faulted) {
      if (s.kind == Step::Send) late.insert(late.end(), s.bytes.begin(), s.bytes.end());
      continue;
    }
    const bool here = c.at < pos + n;
    const std::size_t upto = here ? c.at - pos : n;
    if (s.kind == Step::Expect) {
      if (s.request && upto >= CODE_SIZE) {
        peer.readRequest(upto - CODE_SIZE);
      } else if (s.request && upto > 0) {
        // Part of the code: keep-alives come whole, so a part is the request's.
        peer.read(upto);
      } else if (upto > 0) {
        peer.read(upto);
      }
    } else {
      if (c.fault == Fault::Value && here) {
        Bytes changed = s.bytes;
        putWord(changed.data() + upto, c.value);
        peer.send(changed);  // the lie, then the rest as it was
        peer.close();
        return;
      }
      peer.send(Bytes(s.bytes.begin(), s.bytes.begin() + static_cast<std::ptrdiff_t>(upto)));
      if (here) late.assign(s.bytes.begin() + static_cast<std::ptrdiff_t>(upto), s.bytes.end());
    }
    pos += n;
    if (here) faulted = true;
  }
  switch (c.fault) {
    case Fault::Close:
      peer.close();
      return;
    case Fault::Garbage: {
      std::mt19937 random(static_cast<unsigned>(c.at * 31 + c.row));
      Bytes noise(late.size() + 64);
      for (auto& b : noise) b = static_cast<std::uint8_t>(random());
      peer.send(noise);
      peer.close();
      return;
    }
    case Fault::Stall:
    case Fault::Value:
      break;
  }
  // Stall: nothing until the export has given up; then the late bytes, which
  // a session still reading this stream would take for its next reply.
  returned.wait_for(std::chrono::seconds(30));
  peer.send(late);
  const Bytes next = peer.readRequest(PATH_BLOCK_SIZE, 2 * kBound.count());
  if (next == concat({word(CMD_FILE_SIZE), pathField("/next")})) peer.send(reply(0, 777));
  peer.clientClosed(2 * kBound.count());
}

// One case: its own peer, session and files. Empty when all checks held.
std::string runCase(const Row& row, const Case& c, const TempDir& dir, int serial) {
  ScriptedPeer peer;
  Context context;
  context.fault = c.fault;
  context.address = peer.address();
  context.local = dir / ("local-" + std::to_string(serial));
  context.source = (dir / "source").string();
  std::unique_ptr<SessionResponder> responder;
  if (row.session != Row::None) {
    // The setup's log-in has the same short time-out: on a busy machine it
    // may take another try.
    for (int attempt = 0; attempt < 5 && !context.session; ++attempt) context.session = connectTo(peer);
    if (!context.session) return "the session did not open";
    if (row.session == Row::Answered) {
      responder = std::make_unique<SessionResponder>(peer.releaseClient());
      responder->setFileSize(kFileSize);
    }
  }
  std::promise<void> returnedPromise;
  std::shared_future<void> returned = returnedPromise.get_future().share();
  std::thread player([&] { playPeer(peer, row, c, returned); });

  const auto start = Clock::now();
  const Outcome outcome = row.run(context);
  const auto spent = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  returnedPromise.set_value();

  std::string problems;
  const bool copyRow = row.session == Row::Answered;
  if (spent > (copyRow ? 4 * kBound : kBound)) problems += "took " + std::to_string(spent.count()) + " ms; ";
  const bool dataPhase = row.uploadData && c.at >= totalBytes(row) - kFileSize;
  const bool cut = c.fault == Fault::Close || c.fault == Fault::Stall;
  if (outcome.success && cut && !dataPhase) problems += "reported success (" + outcome.detail + "); ";
  problems += outcome.problem;
  // A broken exchange marks its session disconnected as it returns, so the
  // host tells a lost connection from a refusal without waiting for the
  // keep-alive.
  const std::string_view rowName = row.name;
  const bool listingRow = rowName == "GetFiles" || rowName == "GetDirectories";
  if (listingRow && c.fault == Fault::Close && !outcome.success) {
    char connected = 0;
    std::string address(context.address.size() + 1, '\0');
    char name[KORVEX_DEVICE_NAME_SIZE] = {};
    ConnectionState(context.session, &connected, address.data(), name);
    if (connected) problems += "still connected after the exchange broke off; ";
  }
  std::error_code error;
  const auto localSize = std::filesystem::exists(context.local, error) ? std::filesystem::file_size(context.local, error) : 0;
  if (cut && !outcome.success && localSize >= kFileSize) problems += "a failed download left a full-size file; ";

  if (row.session == Row::Scripted) {
    const auto nextStart = Clock::now();
    const int next = FileSize(context.session, "/next");
    if (next != 777 && next != -1 && next != 0) problems += "the next command read a stale reply (" + std::to_string(next) + "); ";
    if (Clock::now() - nextStart > kBound) problems += "the next command was slow; ";
  }
  // The peer is the player's until it is done: it ends by itself once the
  // client has closed or its short script is over.
  player.join();
  peer.close();
  responder.reset();
  // A session lets go of its socket when its keep-alive finds the link gone,
  // at most one period and one time-out from now.
  if (context.session) waitUntilDisconnected(context.session, milliseconds(KEEPALIVE_PERIOD_MS + 2 * kTimeoutMs) + kBound);
  endSession(context.session, &peer);
  return problems;
}

class FaultMatrix : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { setExchangeTimeoutForTesting(kTimeoutMs); }
  static void TearDownTestSuite() { setExchangeTimeoutForTesting(0); }
};

TEST_F(FaultMatrix, EveryExchangeAtEveryPoint) {
  TempDir dir;
  writeFile(dir / "source", fileText());
  const std::vector<Row> all = rows();
  std::vector<Case> cases;
  for (std::size_t i = 0; i < all.size(); ++i) {
    std::vector<Case> rowCases = casesOf(i, all[i]);
    std::printf("%-32s %3zu cases\n", all[i].name, rowCases.size());
    cases.insert(cases.end(), rowCases.begin(), rowCases.end());
  }
  std::printf("%-32s %3zu cases\n", "all", cases.size());

  // A sanitizer starts a thread of its own with the process's first thread:
  // start one before counting, so that thread is counted both times.
  std::thread([] {}).join();
  const ProcessCounts before = processCounts();
  ASSERT_GE(before.handles, 0);
  ASSERT_GE(before.threads, 0);
  // Cases wait on time-outs, not on the CPU: run many at once.
  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  std::vector<std::string> failures;
  std::vector<std::thread> workers;
  for (int w = 0; w < 32; ++w) {
    workers.emplace_back([&] {
      for (std::size_t i; (i = next++) < cases.size();) {
        const Case& c = cases[i];
        const std::string problems = runCase(all[c.row], c, dir, static_cast<int>(i));
        if (problems.empty()) continue;
        std::lock_guard lock(mutex);
        failures.push_back(std::string(all[c.row].name) + ", " + faultName(c.fault) + " at byte " +
                           std::to_string(c.at) + (c.fault == Fault::Value ? " value " + std::to_string(c.value) : "") +
                           ": " + problems);
      }
    });
  }
  for (std::thread& t : workers) t.join();
  for (const std::string& f : failures) ADD_FAILURE() << f;
  const ProcessCounts after = settledCounts(before);
  EXPECT_EQ(before.handles, after.handles);
  EXPECT_EQ(before.threads, after.threads);
}

}  // namespace
}  // namespace korvex::test
