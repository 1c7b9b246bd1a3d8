// A whole session against a peer whose every answer comes from the input.
//
// The input is a flags byte, then answers: each a 16-bit length and that many
// bytes. The peer takes the next answer whenever an answer is due: after a
// password block, and after each request other than a keep-alive (which it
// answers itself, so the keep-alive thread cannot shift the answers). When
// the answers run out the peer falls silent, or closes (flag bit 0).
//
// A fixed script of exports runs against it: log-in, one command of each
// block shape, both listings, both synchronous copies, a background download
// followed to its end and a background upload cancelled at once. The
// exchanges' time-out is cut to a few milliseconds, so a stall costs little.
// The session is then shut down and freed, so nothing accumulates.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "korvex.h"
#include "session/login.h"
#include "protocol.h"
#include "session/session.h"

namespace {

namespace fs = std::filesystem;
namespace proto = korvex::protocol;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

struct Setup {
  int listener = -1;
  std::string address;
  fs::path dir;
  std::string source;
};

Setup& setup() {
  static Setup* s = [] {
    auto* made = new Setup();
    made->listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    check(made->listener >= 0 && ::bind(made->listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              ::listen(made->listener, 16) == 0 &&
              ::getsockname(made->listener, reinterpret_cast<sockaddr*>(&address), &length) == 0,
          "listen");
    made->address = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    std::string pattern = (fs::temp_directory_path() / "korvex-session-fuzz.XXXXXX").string();
    check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    made->dir = pattern;
    made->source = (made->dir / "source").string();
    FILE* f = std::fopen(made->source.c_str(), "wb");
    for (int i = 0; i < 3001; ++i) std::fputc(i * 7, f);
    std::fclose(f);
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(setup().dir, ignored);
    });
    return made;
  }();
  return *s;
}

// The answers of one input, handed out in order across all connections.
class Answers {
 public:
  Answers(const std::uint8_t* data, std::size_t size) {
    for (std::size_t at = 0; at < size;) {
      std::size_t length = data[at];
      if (at + 1 < size) length |= static_cast<std::size_t>(data[at + 1]) << 8;
      at += 2;
      length = std::min(length, size > at ? size - at : 0);
      answers_.emplace_back(data + at, data + at + length);
      at += length;
    }
  }
  // The next answer; false when none is left.
  bool next(std::vector<std::uint8_t>& answer) {
    if (taken_ >= answers_.size()) return false;
    answer = answers_[taken_++];
    return true;
  }

 private:
  std::vector<std::vector<std::uint8_t>> answers_;
  std::size_t taken_ = 0;
};

// One client connection as the peer sees it.
struct Client {
  int fd;
  std::vector<std::uint8_t> in;
  bool loggedIn = false;
  std::size_t uploadLeft = 0;  // data bytes still due after an accepted upload
  bool silent = false;         // answers ran out: ignore everything
};

void sendAll(int fd, const std::vector<std::uint8_t>& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

// Consumes what the client sent; false when the connection is to be closed.
bool serve(Client& client, Answers& answers, bool closeWhenDone) {
  for (;;) {
    if (client.silent) {
      client.in.clear();
      return true;
    }
    if (client.uploadLeft > 0) {
      const std::size_t n = std::min(client.uploadLeft, client.in.size());
      client.in.erase(client.in.begin(), client.in.begin() + static_cast<std::ptrdiff_t>(n));
      client.uploadLeft -= n;
      if (client.uploadLeft > 0) return true;
    }
    std::size_t need = proto::PASSWORD_BLOCK_SIZE;
    std::uint32_t code = 0;
    if (client.loggedIn) {
      if (client.in.size() < proto::CODE_SIZE) return true;
      code = proto::getWord(client.in.data());
      need = proto::CODE_SIZE + static_cast<std::size_t>(proto::requestBlockSize(code));
    }
    if (client.in.size() < need) return true;
    std::uint32_t announced = 0;
    if (client.loggedIn && code == proto::CMD_UPLOAD) announced = proto::getWord(client.in.data() + 4 + proto::PATH_FIELD_SIZE);
    client.in.erase(client.in.begin(), client.in.begin() + static_cast<std::ptrdiff_t>(need));
    if (client.loggedIn && code == proto::CMD_KEEPALIVE) {
      const proto::ReplyBytes ok = proto::encodeReply(0, 0);
      sendAll(client.fd, std::vector<std::uint8_t>(ok.begin(), ok.end()));
      continue;
    }
    std::vector<std::uint8_t> answer;
    if (!answers.next(answer)) {
      if (closeWhenDone) return false;
      client.silent = true;
      continue;
    }
    sendAll(client.fd, answer);
    // The client sends an upload's data once the reply's status is 0.
    if (code == proto::CMD_UPLOAD && answer.size() >= proto::REPLY_HEADER_SIZE && proto::getWord(answer.data()) == 0)
      client.uploadLeft = announced;
    client.loggedIn = true;
  }
}

void runPeer(Answers& answers, bool closeWhenDone, int stopFd) {
  std::vector<Client> clients;
  for (;;) {
    std::vector<pollfd> fds = {{setup().listener, POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (const Client& c : clients) fds.push_back({c.fd, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), 1000) < 0) continue;
    if (fds[1].revents) break;
    const std::size_t polled = clients.size();
    if (fds[0].revents) {
      int fd = ::accept4(setup().listener, nullptr, nullptr, SOCK_CLOEXEC);
      // Answers leave at once: a small write held back for an acknowledgement
      // would cost every exchange a delayed-ACK wait.
      int on = 1;
      if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      if (fd >= 0) clients.push_back(Client{fd, {}, false, 0, false});
    }
    for (std::size_t i = 0; i < polled; ++i) {
      if (!(fds[i + 2].revents)) continue;
      std::uint8_t buffer[8192];
      ssize_t n = ::recv(clients[i].fd, buffer, sizeof buffer, 0);
      bool keep = n > 0;
      if (keep) {
        clients[i].in.insert(clients[i].in.end(), buffer, buffer + n);
        keep = serve(clients[i], answers, closeWhenDone);
      }
      if (!keep) {
        ::close(clients[i].fd);
        clients[i].fd = -1;
      }
    }
    std::erase_if(clients, [](const Client& c) { return c.fd < 0; });
  }
  for (const Client& c : clients) ::close(c.fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  korvex::setExchangeTimeoutForTesting(5);
  setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 64 * 1024) return 0;
  Answers answers(data + 1, size - 1);
  const bool closeWhenDone = data[0] & 1;
  int stop[2];
  check(::pipe2(stop, O_CLOEXEC) == 0, "pipe");
  std::thread peer([&] { runPeer(answers, closeWhenDone, stop[0]); });

  auto* session = new korvex::PhoneSession();
  int error = 0;
  if (session->open(setup().address, "secret", proto::SERVICE_PORT, &error)) {
    SessionHandle h = reinterpret_cast<SessionHandle>(session);
    const std::string local = (setup().dir / "down").string();
    const std::string local2 = (setup().dir / "down-async").string();
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
    DownFromPhone(h, "/d", local.c_str());
    CopyToPhone(h, setup().source.c_str(), "/u");
    if (TransferHandle t = DownFromPhoneAsync(h, "/d", local2.c_str())) {
      int total = 0, progress = -1;
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(15);
      while (std::chrono::steady_clock::now() < until) {
        GetTransProgress(t, &total, &progress);
        if (progress == -2 || (progress >= 0 && progress == total)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      CloseTransHandle(t);
    }
    if (TransferHandle t = CopyToPhoneAsync(h, setup().source.c_str(), "/u")) CloseTransHandle(t);
  }
  session->shutdown();
  session->join();
  session->stopAllTransfers();
  delete session;

  check(::write(stop[1], "x", 1) == 1, "stop");
  peer.join();
  ::close(stop[0]);
  ::close(stop[1]);
  return 0;
}
