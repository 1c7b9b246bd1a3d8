// A whole session against a peer whose every byte comes from the input.
//
// The input is a flags byte, then what the peer sends on each connection, in
// the order they open: the session's, the background download's, the
// background upload's; each a 16-bit length and that many bytes. The peer
// sends a connection's bytes as soon as it accepts it (stream_peer.h), then
// ends the stream, or on the session's connection falls silent (flag bit 0).
// A wait for what never comes costs a time-out, so only that connection
// makes one; the copies' connections are served by the same code.
//
// A fixed script of exports runs against it: log-in, one command of each
// block shape, both listings, both synchronous copies, then, as flag bits 1
// and 2 ask, a background download followed to its end and a background
// upload followed to its end (flag bit 3) or cancelled at once. Each
// background copy costs a thread and a connection, so an input pays only for
// those it asks for. The exchanges' time-out is cut to a millisecond, so
// that silence costs little; the peer's bytes are in the socket before the
// client reads, so only the accept at a log-in races it.
// The session is then shut down and freed, so nothing accumulates.
//
// Besides the sanitizers, it checks what a host relies on: a listing's
// length and buffer agree, a background copy ends at -1, -2 or its total,
// a failed download leaves its destination as it was, and a background
// download reported done holds exactly the bytes the peer sent for it.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "korvex.h"
#include "protocol.h"
#include "session/login.h"
#include "session/session.h"
#include "session/transfers.h"
#include "stream_peer.h"

namespace {

namespace fs = std::filesystem;
namespace proto = korvex::protocol;

constexpr std::size_t kMaxInput = 16 * 1024;  // what one send of the peer always takes (stream_peer.cpp)
constexpr char kBefore[] = "the destination before the copy";
// A background download's bytes: the log-in reply, the device name, the
// download's reply header, then the file.
constexpr std::size_t kDownloadDataAt = proto::LOGIN_REPLY_SIZE + proto::DEVICE_NAME_SIZE + proto::REPLY_HEADER_SIZE;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

struct Setup {
  StreamPeer peer;
  fs::path dir;
  std::string source;
  fs::path down, downAsync;
};

Setup& setup() {
  static Setup* s = [] {
    auto* made = new Setup();  // never destroyed: the peer's thread runs to the end
    // tmpfs where there is one: the destinations are rewritten for every input.
    std::error_code error;
    const fs::path parent = fs::is_directory("/dev/shm", error) && ::access("/dev/shm", W_OK) == 0
                                ? fs::path("/dev/shm")
                                : fs::temp_directory_path();
    std::string pattern = (parent / "korvex-session-fuzz.XXXXXX").string();
    check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    made->dir = pattern;
    made->source = (made->dir / "source").string();
    made->down = made->dir / "down";
    made->downAsync = made->dir / "down-async";
    std::string source;
    for (int i = 0; i < 3001; ++i) source.push_back(static_cast<char>(i * 7));
    writeFile(made->source, source);
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(setup().dir, ignored);
    });
    return made;
  }();
  return *s;
}

// The peer's streams: each a 16-bit length and that many bytes, the last cut
// short by the end of the input.
std::vector<std::vector<std::uint8_t>> streams(const std::uint8_t* data, std::size_t size) {
  std::vector<std::vector<std::uint8_t>> out;
  for (std::size_t at = 0; at < size && out.size() < 3;) {
    std::size_t length = data[at];
    if (at + 1 < size) length |= static_cast<std::size_t>(data[at + 1]) << 8;
    at += 2;
    length = std::min(length, size > at ? size - at : 0);
    out.emplace_back(data + at, data + at + length);
    at += length;
  }
  return out;
}

// Waits for a background copy's thread to end on its own (every wait in it
// is bounded by the exchange time-out), then checks where it ended.
int followToEnd(TransferHandle transfer) {
  reinterpret_cast<korvex::TransferTask*>(transfer)->thread.join();
  int total = 0, progress = 0;
  GetTransProgress(transfer, &total, &progress);
  check(progress == -1 || progress == -2 || progress == total, "a finished copy short of its total");
  return progress;
}

struct Script {
  bool download = false;      // the background download
  bool upload = false;        // the background upload
  bool followUpload = false;  // to its end; else cancelled at once
};

void runScript(korvex::PhoneSession* session, Script script, const std::vector<std::uint8_t>& downloadStream) {
  SessionHandle h = reinterpret_cast<SessionHandle>(session);
  FileSize(h, "/f");
  Rename(h, "/a", "/b");
  DeleteDirectory(h, "/d", true);
  Chown(static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(session)), const_cast<char*>("/c"), 1, 2);
  GetSpaceSize(h, "/");
  Restart(h);
  for (int (*list)(SessionHandle, const char*, char**) : {GetFiles, GetDirectories}) {
    char* names = nullptr;
    const int n = list(h, "/l", &names);
    check(n <= 0 || (names && std::strlen(names) == static_cast<std::size_t>(n)), "listing length");
    check(n > 0 || names == nullptr, "a buffer stored without a positive result");
    FreeBuffer(names);
  }
  if (!DownFromPhone(h, "/d", setup().down.c_str()))
    check(readFile(setup().down) == kBefore, "a failed download changed its destination");
  CopyToPhone(h, setup().source.c_str(), "/u");

  if (TransferHandle t = script.download ? DownFromPhoneAsync(h, "/d", setup().downAsync.c_str()) : nullptr) {
    const int progress = followToEnd(t);
    const std::string landed = readFile(setup().downAsync);
    if (progress < 0) {
      check(landed == kBefore, "a failed background download changed its destination");
    } else {
      const std::size_t size = static_cast<std::size_t>(progress);
      check(downloadStream.size() >= kDownloadDataAt + size &&
                landed == std::string(downloadStream.begin() + kDownloadDataAt,
                                      downloadStream.begin() + static_cast<std::ptrdiff_t>(kDownloadDataAt + size)),
            "a background download done with other bytes than the peer sent");
    }
    CloseTransHandle(t);
  }
  if (TransferHandle t = script.upload ? CopyToPhoneAsync(h, setup().source.c_str(), "/u") : nullptr) {
    if (script.followUpload) followToEnd(t);
    CloseTransHandle(t);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  korvex::setExchangeTimeoutForTesting(1);
  setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > kMaxInput) return 0;
  Setup& s = setup();
  const bool sessionThenSilence = data[0] & 1;
  const Script script{(data[0] & 2) != 0, (data[0] & 4) != 0, (data[0] & 8) != 0};
  std::vector<std::vector<std::uint8_t>> given = streams(data + 1, size - 1);
  given.resize(3);
  // In the order the connections open: a copy left out opens none.
  std::vector<StreamPeer::Stream> peerStreams = {{given[0], sessionThenSilence}};
  if (script.download) peerStreams.push_back({given[1]});
  if (script.upload) peerStreams.push_back({given[2]});
  writeFile(s.down, kBefore);
  writeFile(s.downAsync, kBefore);
  s.peer.begin(std::move(peerStreams));

  auto* session = new korvex::PhoneSession();
  int error = 0;
  if (session->open(s.peer.address(), "secret", proto::SERVICE_PORT, &error))
    runScript(session, script, given[1]);
  session->shutdown();
  session->join();
  session->stopAllTransfers();
  delete session;
  s.peer.end();
  return 0;
}
