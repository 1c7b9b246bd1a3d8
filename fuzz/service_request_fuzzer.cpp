// korvexd's handling of one logged-in connection: the input is what the
// client sends after its login, served against a small temporary root.
//
// The root holds files, a FIFO and symbolic links that lead out of it, to a
// sibling directory. After every input that sibling must be exactly as it
// was, no upload may have left its temporary file, and no descriptor may be
// left open.
//
// The first input byte chooses the resolver, whether power commands end the
// connection, and the encoding of the rest:
//   raw      the bytes go to the service as they are;
//   compact  each command is a code byte, then per path field a length byte
//            (bit 7: fill the field without its NUL) and the text, per
//            32-bit word four bytes; an upload's announced size is a 16-bit
//            word and its data the bytes that follow.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client_session.h"
#include "file_ops.h"
#include "root.h"
#include "protocol.h"

namespace {

namespace fs = std::filesystem;
namespace proto = korvex::protocol;

constexpr const char* kPassword = "fuzz";
constexpr std::size_t kMaxInput = 64 * 1024;
// A compact command of one byte becomes a request of over a kilobyte.
constexpr std::size_t kMaxStream = 256 * 1024;

fs::path sandboxPath;

void removeSandbox() {
  std::error_code ignored;
  if (!sandboxPath.empty()) fs::remove_all(sandboxPath, ignored);
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    removeSandbox();
    std::abort();
  }
}

std::string descriptorList() {
  std::string list;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    list += entry.path().filename().string() + " -> " + fs::read_symlink(entry.path(), error).string() + "\n";
  }
  return list;
}

struct Entry {
  std::uintmax_t size;
  std::int64_t mtime;
  unsigned mode, uid, gid;
  bool operator==(const Entry&) const = default;
};

// Everything below `dir`, symbolic links not followed.
std::map<std::string, Entry> snapshot(const fs::path& dir) {
  std::map<std::string, Entry> entries;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(dir, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    struct stat st{};
    if (lstat(it->path().c_str(), &st) != 0) continue;
    entries[it->path().string()] = {static_cast<std::uintmax_t>(st.st_size),
                                     st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec, st.st_mode, st.st_uid,
                                     st.st_gid};
  }
  return entries;
}

int openDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dir && readdir(dir)) ++count;
  if (dir) closedir(dir);
  return count;
}

void writeText(const fs::path& path, const std::string& text) {
  FILE* file = std::fopen(path.c_str(), "wb");
  check(file != nullptr, "cannot create a file of the sandbox");
  std::fwrite(text.data(), 1, text.size(), file);
  std::fclose(file);
}

struct Sandbox {
  fs::path base;     // holds root/ and outside/, nothing else
  fs::path root;
  fs::path outside;  // reachable only through symbolic links that leave the root
  std::map<std::string, Entry> outsideBefore;
  std::optional<korvexd::Root> roots[2];  // openat2, walk

  Sandbox() {
    // tmpfs where there is one: the root is rebuilt for every input.
    std::error_code error;
    const fs::path parent = fs::is_directory("/dev/shm", error) && access("/dev/shm", W_OK) == 0
                                ? fs::path("/dev/shm")
                                : fs::temp_directory_path();
    std::string pattern = (parent / "korvexd-fuzz.XXXXXX").string();
    check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    base = pattern;
    root = base / "root";
    outside = base / "outside";
    fs::create_directories(root);
    fs::create_directories(outside / "deep");
    writeText(outside / "secret", "outside the root");
    writeText(outside / "deep/.korvexd-upload-1-1", "not ours to remove");
    outsideBefore = snapshot(base / "outside");
    int failure = 0;
    roots[0] = korvexd::Root::open(root.string(), korvexd::Resolver::Openat2, failure);
    roots[1] = korvexd::Root::open(root.string(), korvexd::Resolver::Walk, failure);
    check(roots[1].has_value(), "root");
    sandboxPath = base;
    std::atexit(removeSandbox);
  }

  void reset() {
    for (const auto& entry : fs::directory_iterator(root)) fs::remove_all(entry.path());
    fs::create_directories(root / "dir/sub");
    writeText(root / "a.txt", "hello");
    writeText(root / "dir/b.bin", std::string(3000, 'b'));
    mkfifo((root / "fifo").c_str(), 0644);
    fs::create_directory_symlink("../outside", root / "out");
    fs::create_directory_symlink(outside, root / "dir/abs");
    fs::create_symlink("../../outside/secret", root / "dir/secret");
    fs::create_symlink("a.txt", root / "inside");
  }

  void verify() {
    check(snapshot(base / "outside") == outsideBefore, "a file outside the root changed");
    std::vector<std::string> top;
    for (const auto& entry : fs::directory_iterator(base)) top.push_back(entry.path().filename());
    std::sort(top.begin(), top.end());
    check(top == (std::vector<std::string>{"outside", "root"}), "something appeared beside the root");
    check(korvexd::removeStaleUploads(*roots[1]) == 0, "an upload left its temporary file");
  }
};

Sandbox& sandbox() {
  static Sandbox* box = new Sandbox();  // never destroyed: the service may log at exit
  return *box;
}

// Expands the compact form into the bytes of the requests.
std::vector<std::uint8_t> expand(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> out;
  std::size_t at = 0;
  auto take = [&](std::size_t n) {
    std::size_t start = at;
    at = std::min(size, at + n);
    return std::pair(data + start, at - start);
  };
  while (at < size && out.size() < kMaxStream) {
    const std::uint32_t code = data[at++] % 20;  // 17..19 are unknown codes
    std::uint8_t codeBytes[4];
    proto::putWord(codeBytes, code);
    out.insert(out.end(), codeBytes, codeBytes + 4);
    const int blockSize = code <= proto::kLastCommandCode ? proto::requestBlockSize(code) : 0;
    std::vector<std::uint8_t> block(static_cast<std::size_t>(blockSize), 0);
    std::size_t uploadSize = 0;
    for (int offset = 0; offset < blockSize;) {
      const bool pathField = offset == 0 || (code == proto::CMD_RENAME && offset == proto::PATH_FIELD_SIZE);
      if (pathField) {
        auto [length, n] = take(1);
        if (n == 0) break;
        auto [text, got] = take(*length & 0x7F);
        std::memcpy(block.data() + offset, text, got);
        if (*length & 0x80) std::memset(block.data() + offset + got, 'x', proto::PATH_FIELD_SIZE - got);
        offset += proto::PATH_FIELD_SIZE;
      } else if (code == proto::CMD_UPLOAD) {
        auto [bytes, got] = take(2);
        uploadSize = got == 2 ? static_cast<std::size_t>(bytes[0] | bytes[1] << 8) : 0;
        proto::putWord(block.data() + offset, static_cast<std::uint32_t>(uploadSize));
        offset += 4;
      } else {
        auto [bytes, got] = take(4);
        std::memcpy(block.data() + offset, bytes, got);
        offset += 4;
      }
    }
    out.insert(out.end(), block.begin(), block.end());
    auto [bytes, got] = take(uploadSize);
    out.insert(out.end(), bytes, bytes + got);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > kMaxInput) return 0;
  Sandbox& box = sandbox();
  box.reset();
  const std::uint8_t mode = data[0];
  const korvexd::Root* root = &*box.roots[1];
  if ((mode & 1) && box.roots[0]) root = &*box.roots[0];

  std::vector<std::uint8_t> stream(proto::PASSWORD_BLOCK_SIZE, 0);
  std::memcpy(stream.data(), kPassword, std::strlen(kPassword));
  if (mode & 2) {
    std::vector<std::uint8_t> requests = expand(data + 1, size - 1);
    stream.insert(stream.end(), requests.begin(), requests.end());
  } else {
    stream.insert(stream.end(), data + 1, data + size);
  }

  // Counted around each input: the sanitizer's symbolizer opens pipes of its own.
  const int descriptors = openDescriptors();
  int pair[2];
  check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
  fcntl(pair[0], F_SETFL, O_NONBLOCK);  // as accept4 hands it to the service
  // Buffers large enough for the whole conversation: the requests are all
  // written before the service starts, and its replies pile up unread, so
  // one thread does everything and a wait inside the service means a bug.
  const int big = 64 << 20;
  const bool roomy = setsockopt(pair[0], SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big) == 0 &&
                     setsockopt(pair[1], SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big) == 0;
  std::size_t sent = 0;
  while (roomy && sent < stream.size()) {
    ssize_t n = ::send(pair[1], stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  // Without the privilege to grow them, a thread feeds the requests and reads
  // the replies away as the service goes.
  std::thread client;
  if (sent == stream.size()) {
    ::shutdown(pair[1], SHUT_WR);
  } else {
    fcntl(pair[1], F_SETFL, O_NONBLOCK);
    client = std::thread([fd = pair[1], &stream, sent]() mutable {
      for (;;) {
        const bool sending = sent < stream.size();
        pollfd p{fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
        if (::poll(&p, 1, 5000) <= 0) break;
        if (sending && (p.revents & POLLOUT)) {
          ssize_t n = ::send(fd, stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL);
          if (n > 0) sent += static_cast<std::size_t>(n);
          if (n < 0 && errno != EAGAIN) sent = stream.size();  // the service went away
          if (sent == stream.size()) ::shutdown(fd, SHUT_WR);
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
          char sink[65536];
          ssize_t n = ::recv(fd, sink, sizeof sink, 0);
          if (n == 0 || (n < 0 && errno != EAGAIN)) break;
        }
      }
    });
  }

  korvexd::ServiceConfig config;
  config.password = kPassword;
  config.deviceName = "fuzz";
  config.powerExits = (mode & 4) != 0;
  config.ioTimeoutMs = 1000;  // every byte is there before the service reads: only a bug waits
  config.idleTimeoutMs = 1000;
  {
    korvexd::ClientSession session(pair[0], 1, "fuzz", *root, config, [] {});
    session.serve();
  }
  ::close(pair[0]);
  if (client.joinable()) client.join();
  ::close(pair[1]);

  box.verify();
  if (openDescriptors() != descriptors) {
    std::fprintf(stderr, "%s", descriptorList().c_str());
    check(false, "a descriptor was left open");
  }
  return 0;
}
