// Streaming: DownFromPhone and CopyToPhone of one large file against korvexd
// on loopback, interleaved with (a) a raw client moving the same bytes under
// the same rules as the library (poll before every blocking recv/send, pieces
// of at most 1500 bytes, the file through stdio with a 1 MiB buffer),
// (b) a raw client bound by no such rule (blocking receives and sends of
// 256 KiB, the file read and written directly) and (c) the system's sftp
// client talking to sftp-server directly over a pipe.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <optional>
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

constexpr std::size_t kStdioBuffer = 1 << 20;
constexpr int kPiece = proto::CHUNK_SIZE;

// A stdio stream with the library's 1 MiB buffer.
struct Stream {
  std::FILE* file = nullptr;
  std::unique_ptr<char[]> buffer;
  Stream(const fs::path& path, const char* mode) : file(std::fopen(path.c_str(), mode)) {
    if (file) {
      buffer.reset(new char[kStdioBuffer]);
      std::setvbuf(file, buffer.get(), _IOFBF, kStdioBuffer);
    }
  }
  ~Stream() { close(); }
  bool close() {
    const bool ok = file == nullptr || std::fclose(file) == 0;
    file = nullptr;
    return ok;
  }
};

// The raw client polls before every receive and send, as the library does.
bool rawDownload(RawClient& raw, const std::string& phonePath, const fs::path& local) {
  const auto header = raw.request(proto::CMD_DOWNLOAD, proto::pathBlock(phonePath)) ? raw.reply() : std::nullopt;
  if (!header || header->status != 0) return false;
  Stream out(local, "wb+");
  if (!out.file) return false;
  std::uint8_t piece[kPiece];
  for (std::uint32_t remaining = header->value; remaining > 0;) {
    const std::uint32_t n = std::min<std::uint32_t>(remaining, kPiece);
    if (raw.receive(piece, n, proto::IO_TIMEOUT_MS) != n || std::fwrite(piece, 1, n, out.file) != n) return false;
    remaining -= n;
  }
  return std::fflush(out.file) == 0 && out.close();
}

bool rawUpload(RawClient& raw, const fs::path& local, const std::string& phonePath) {
  Stream in(local, "rb");
  if (!in.file) return false;
  fseeko(in.file, 0, SEEK_END);
  const off_t size = ftello(in.file);
  fseeko(in.file, 0, SEEK_SET);
  if (raw.status(proto::CMD_UPLOAD, proto::uploadBlock(phonePath, static_cast<std::uint32_t>(size))) != 0) return false;
  std::uint8_t piece[kPiece];
  for (off_t remaining = size; remaining > 0;) {
    const std::size_t n = static_cast<std::size_t>(std::min<off_t>(remaining, kPiece));
    if (std::fread(piece, 1, n, in.file) != n || !raw.send(piece, n)) return false;
    remaining -= static_cast<off_t>(n);
  }
  return true;
}

// The unconstrained client: 256 KiB per receive or send, blocking, and the
// file written or read with no buffer in between.
constexpr std::size_t kLargeBlock = 256 << 10;

bool bulkDownload(RawClient& raw, const std::string& phonePath, const fs::path& local) {
  const auto header = raw.request(proto::CMD_DOWNLOAD, proto::pathBlock(phonePath)) ? raw.reply() : std::nullopt;
  if (!header || header->status != 0) return false;
  const int fd = ::open(local.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[kLargeBlock]);
  bool ok = true;
  for (std::uint32_t remaining = header->value; remaining > 0 && ok;) {
    const std::size_t n = std::min<std::size_t>(remaining, kLargeBlock);
    ok = raw.receive(block.get(), n) == n && ::write(fd, block.get(), n) == static_cast<ssize_t>(n);
    remaining -= static_cast<std::uint32_t>(n);
  }
  return ::close(fd) == 0 && ok;
}

bool bulkUpload(RawClient& raw, const fs::path& local, const std::string& phonePath) {
  const int fd = ::open(local.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const off_t size = ::lseek(fd, 0, SEEK_END);
  ::lseek(fd, 0, SEEK_SET);
  const std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[kLargeBlock]);
  bool ok = raw.status(proto::CMD_UPLOAD, proto::uploadBlock(phonePath, static_cast<std::uint32_t>(size))) == 0;
  for (off_t remaining = size; remaining > 0 && ok;) {
    const std::size_t n = static_cast<std::size_t>(std::min<off_t>(remaining, kLargeBlock));
    ok = ::read(fd, block.get(), n) == static_cast<ssize_t>(n) && raw.send(block.get(), n);
    remaining -= static_cast<off_t>(n);
  }
  ::close(fd);
  return ok;
}

// CPU seconds of the calling thread (where the library's and the raw
// clients' synchronous copies run); less sensitive to a loaded machine than
// the wall clock.
double threadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string findSftpServer(const std::string& given) {
  if (!given.empty()) return given;
  for (const char* candidate : {"/usr/lib/openssh/sftp-server", "/usr/lib/sftp-server", "/usr/libexec/sftp-server",
                                "/usr/libexec/openssh/sftp-server"}) {
    if (access(candidate, X_OK) == 0) return candidate;
  }
  return {};
}

bool sftpCopy(const std::string& server, const fs::path& scratch, const char* verb, const fs::path& from,
              const fs::path& to) {
  const fs::path batch = scratch / "sftp.batch";
  {
    std::ofstream out(batch);
    out << verb << " \"" << from.string() << "\" \"" << to.string() << "\"\n";
  }
  return runToEnd({"sftp", "-q", "-b", batch.string(), "-D", server}, (scratch / "sftp.log").string(), 600) == 0;
}

enum Who { Library = 0, Raw = 1, Bulk = 2, Sftp = 3 };
const char* const kWhoName[] = {"library", "raw", "bulk", "sftp"};

}  // namespace

int main(int argc, char** argv) {
  Flags flags(argc, argv,
              {"quick", "korvexd", "workdir", "rounds", "size-mib", "sftp-server", "no-sftp", "into-existing"});
  const bool quick = flags.has("quick");
  const int rounds = static_cast<int>(flags.number("rounds", quick ? 2 : 5));
  const std::uint64_t sizeMiB = static_cast<std::uint64_t>(flags.number("size-mib", quick ? 16 : 256));
  const std::uint64_t bytes = sizeMiB << 20;
  armWatchdog(quick ? 300 : 3000);

  std::string sftpServer = flags.has("no-sftp") ? "" : findSftpServer(flags.text("sftp-server", ""));
  const bool withSftp = !sftpServer.empty() && system("command -v sftp >/dev/null 2>&1") == 0;
  if (!withSftp && !flags.has("no-sftp")) {
    std::printf("note: sftp or sftp-server not found (scripts/install-deps.sh installs them); sftp reference skipped\n");
  }

  std::printf("== streaming: %llu MiB file, %d rounds, loopback; medians of MiB/s (wall clock per copy)\n",
              static_cast<unsigned long long>(sizeMiB), rounds);
  ScratchDir scratch(flags.text("workdir", ""), "korvex-bench-streaming");
  const fs::path root = scratch.subdir("root");
  const fs::path local = scratch.subdir("local");
  makeFile(root / "phone.bin", bytes, 7);
  makeFile(local / "desk.bin", bytes, 8);
  settle();

  const auto service = startService(flags, scratch, root, kPassword);
  SessionHandle session = connectOrFinish(service->address(), kPassword);
  RawClient raw(service->port());
  RawClient bulk(service->port(), RawClient::Waits::Blocking);
  if (!raw.connected() || !raw.login(kPassword) || !bulk.connected() || !bulk.login(kPassword)) {
    std::fprintf(stderr, "raw login failed\n");
    finish(1);
  }
  bulk.sendAtOnce();  // unconstrained, so as free of Nagle's delay as the library

  const int sides = withSftp ? 4 : 3;
  std::vector<double> down[4], up[4];
  bool ok = true;
  // Round 0 is an untimed warm-up that also checks every copy byte for byte.
  for (int r = 0; r <= rounds && ok; ++r) {
    // Downloads, then uploads; the order of the clients rotates each round.
    for (int i = 0; i < sides && ok; ++i) {
      const Who who = static_cast<Who>((i + r) % sides);
      const fs::path dest = local / (std::string("down-") + kWhoName[who] + ".bin");
      const double start = nowSeconds(), cpuStart = threadCpuSeconds();
      bool good = false;
      switch (who) {
        case Library: good = DownFromPhone(session, "/phone.bin", dest.c_str()); break;
        case Raw: good = rawDownload(raw, "/phone.bin", dest); break;
        case Bulk: good = bulkDownload(bulk, "/phone.bin", dest); break;
        case Sftp: good = sftpCopy(sftpServer, scratch.path(), "get", root / "phone.bin", dest); break;
      }
      const double seconds = nowSeconds() - start, cpu = threadCpuSeconds() - cpuStart;
      good = good && fileSizeOr0(dest) == bytes && (r > 0 || sameContent(dest, root / "phone.bin"));
      if (!good) {
        std::fprintf(stderr, "download by %s failed or arrived wrong\n", kWhoName[who]);
        ok = false;
      }
      if (r > 0) down[who].push_back(static_cast<double>(sizeMiB) / seconds);
      std::printf("%s %d  download %-7s %8.1f MiB/s  (%.3f s, CPU of this thread %.3f s)\n", r ? "round" : "warm-up",
                  r, kWhoName[who], static_cast<double>(sizeMiB) / seconds, seconds, cpu);
      // By default every download makes a new file; --into-existing leaves
      // it, so the next round truncates and rewrites a file of full size.
      if (!flags.has("into-existing")) fs::remove(dest);
      settle();
    }
    for (int i = 0; i < sides && ok; ++i) {
      const Who who = static_cast<Who>((i + r) % sides);
      const std::string name = std::string("up-") + kWhoName[who] + ".bin";
      const double start = nowSeconds(), cpuStart = threadCpuSeconds();
      bool good = false;
      switch (who) {
        case Library: good = CopyToPhone(session, (local / "desk.bin").c_str(), ("/" + name).c_str()); break;
        case Raw: good = rawUpload(raw, local / "desk.bin", "/" + name); break;
        case Bulk: good = bulkUpload(bulk, local / "desk.bin", "/" + name); break;
        case Sftp: good = sftpCopy(sftpServer, scratch.path(), "put", local / "desk.bin", root / name); break;
      }
      const double seconds = nowSeconds() - start, cpu = threadCpuSeconds() - cpuStart;
      // korvexd puts the file in place after the last byte; wait for that
      // outside the timing so it does not slow the next copy.
      good = good && waitForFile(root / name, bytes, 60) && (r > 0 || sameContent(root / name, local / "desk.bin"));
      if (!good) {
        std::fprintf(stderr, "upload by %s failed or arrived wrong\n", kWhoName[who]);
        ok = false;
      }
      if (r > 0) up[who].push_back(static_cast<double>(sizeMiB) / seconds);
      std::printf("%s %d  upload   %-7s %8.1f MiB/s  (%.3f s, CPU of this thread %.3f s)\n", r ? "round" : "warm-up",
                  r, kWhoName[who], static_cast<double>(sizeMiB) / seconds, seconds, cpu);
      fs::remove(root / name);
      settle();
    }
    std::fflush(stdout);
  }
  service->stop();
  scratch.remove();
  if (!ok) finish(1);

  // A verdict takes the median of the per-round ratios: the clients of one
  // round run back to back, so a slow spell of the machine weighs on both
  // sides of a ratio, where it can move one median alone.
  const auto pairedRatio = [](const std::vector<double>& library, const std::vector<double>& reference) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < library.size() && i < reference.size(); ++i) ratios.push_back(library[i] / reference[i]);
    return median(ratios);
  };
  struct Target {
    Who who;
    const char* name;
    const char* bound;
    double least;
  };
  const Target targets[] = {{Raw, "raw", ">= 0.95", 0.95}, {Bulk, "bulk raw", ">= 0.90", 0.9}, {Sftp, "sftp", ">= 1.00", 1.0}};
  for (int dir = 0; dir < 2; ++dir) {
    const char* label = dir == 0 ? "DownFromPhone" : "CopyToPhone";
    std::vector<double>* v = dir == 0 ? down : up;
    const double lib = median(v[Library]);
    std::printf("%-14s library %8.1f MiB/s", label, lib);
    for (const Target& t : targets) {
      if (t.who == Sftp && !withSftp) continue;
      std::printf("  %s %8.1f MiB/s  library/%s %.3f (ratio of medians %.3f)", kWhoName[t.who], median(v[t.who]),
                  kWhoName[t.who], pairedRatio(v[Library], v[t.who]), lib / median(v[t.who]));
    }
    std::printf("\n");
    for (const Target& t : targets) {
      if (t.who == Sftp && !withSftp) continue;
      const double ratio = pairedRatio(v[Library], v[t.who]);
      summaryLine(format("%s %llu MiB vs %s", label, static_cast<unsigned long long>(sizeMiB), t.name),
                  format("%.1f MiB/s", lib), format("%.1f MiB/s", median(v[t.who])), ratio, t.bound,
                  ratio >= t.least);
    }
  }
  finish(0);
}
