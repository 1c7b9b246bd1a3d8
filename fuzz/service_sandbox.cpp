#include "service_sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "file_ops.h"

namespace fuzz {

namespace fs = std::filesystem;

namespace {

fs::path sandboxPath;

void removeSandbox() {
  std::error_code ignored;
  if (!sandboxPath.empty()) fs::remove_all(sandboxPath, ignored);
}

std::string descriptorList() {
  std::string list;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    list += entry.path().filename().string() + " -> " + fs::read_symlink(entry.path(), error).string() + "\n";
  }
  return list;
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

// Without the privilege to grow the socket buffers: a thread feeds the
// requests from `sent` on and collects the replies as the service goes.
std::thread feedAndCollect(int fd, const std::vector<std::uint8_t>& stream, std::size_t sent,
                           std::vector<std::uint8_t>& replies) {
  fcntl(fd, F_SETFL, O_NONBLOCK);
  return std::thread([fd, &stream, sent, &replies]() mutable {
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
        std::uint8_t buffer[65536];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) replies.insert(replies.end(), buffer, buffer + n);
        if (n == 0 || (n < 0 && errno != EAGAIN)) break;
      }
    }
  });
}

}  // namespace

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    removeSandbox();
    std::abort();
  }
}

Sandbox::Sandbox() {
  // tmpfs where there is one: the root is rebuilt for every input.
  std::error_code error;
  const fs::path parent = fs::is_directory("/dev/shm", error) && access("/dev/shm", W_OK) == 0
                              ? fs::path("/dev/shm")
                              : fs::temp_directory_path();
  std::string pattern = (parent / "korvexd-fuzz.XXXXXX").string();
  check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
  base = pattern;
  served = base / "root";
  outside = base / "outside";
  fs::create_directories(served);
  fs::create_directories(outside / "deep");
  writeText(outside / "secret", "outside the root");
  writeText(outside / "deep/.korvexd-upload-1-1", "not ours to remove");
  outsideBefore_ = snapshot(outside);
  int failure = 0;
  roots_[0] = korvexd::Root::open(served.string(), korvexd::Resolver::Openat2, failure);
  roots_[1] = korvexd::Root::open(served.string(), korvexd::Resolver::Walk, failure);
  check(roots_[1].has_value(), "root");
  sandboxPath = base;
  std::atexit(removeSandbox);
}

const korvexd::Root& Sandbox::root(bool openat2) const { return openat2 && roots_[0] ? *roots_[0] : *roots_[1]; }

void Sandbox::reset() {
  for (const auto& entry : fs::directory_iterator(served)) fs::remove_all(entry.path());
  fs::create_directories(served / "dir/sub");
  writeText(served / "a.txt", "hello");
  writeText(served / "dir/b.bin", std::string(3000, 'b'));
  mkfifo((served / "fifo").c_str(), 0644);
  fs::create_directory_symlink("../outside", served / "out");
  fs::create_directory_symlink(outside, served / "dir/abs");
  fs::create_symlink("../../outside/secret", served / "dir/secret");
  fs::create_symlink("a.txt", served / "inside");
}

void Sandbox::verify() {
  check(snapshot(outside) == outsideBefore_, "a file outside the root changed");
  std::vector<std::string> top;
  for (const auto& entry : fs::directory_iterator(base)) top.push_back(entry.path().filename());
  std::sort(top.begin(), top.end());
  check(top == (std::vector<std::string>{"outside", "root"}), "something appeared beside the root");
  check(korvexd::removeStaleUploads(*roots_[1]) == 0, "an upload left its temporary file");
}

std::map<std::string, Sandbox::Entry> Sandbox::snapshot(const fs::path& dir) {
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

Sandbox& sandbox() {
  static Sandbox* box = new Sandbox();
  return *box;
}

korvexd::ServiceConfig fuzzConfig(bool powerExits) {
  korvexd::ServiceConfig config;
  config.password = kPassword;
  config.deviceName = "fuzz";
  config.powerExits = powerExits;
  config.ioTimeoutMs = 1000;
  config.idleTimeoutMs = 1000;
  return config;
}

std::vector<std::uint8_t> serveClient(const std::vector<std::uint8_t>& stream, const korvexd::Root& root,
                                      const korvexd::ServiceConfig& config) {
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
  std::vector<std::uint8_t> replies;
  std::thread client;
  if (sent == stream.size()) {
    ::shutdown(pair[1], SHUT_WR);
  } else {
    client = feedAndCollect(pair[1], stream, sent, replies);
  }
  {
    korvexd::ClientSession session(pair[0], 1, "fuzz", root, config, [] {});
    session.serve();
  }
  ::close(pair[0]);
  if (client.joinable()) {
    client.join();
  } else {
    std::uint8_t buffer[65536];
    for (ssize_t n; (n = ::recv(pair[1], buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
      replies.insert(replies.end(), buffer, buffer + n);
  }
  ::close(pair[1]);
  if (openDescriptors() != descriptors) {
    std::fprintf(stderr, "%s", descriptorList().c_str());
    check(false, "a descriptor was left open");
  }
  return replies;
}

}  // namespace fuzz
