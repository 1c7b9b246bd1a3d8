// A minimal in-process service that answers every request at once, so the
// client's own cost shows without the real service's work in the way.
#pragma once

#include <cstdint>
#include <vector>

namespace korvex::bench {

class QuickPeer {
 public:
  // Listens on 127.0.0.1 at a free port; listings answer `names` records.
  // With `cpu` >= 0 the peer's threads run on that CPU only.
  explicit QuickPeer(std::uint32_t names, int cpu = -1);
  ~QuickPeer();
  QuickPeer(const QuickPeer&) = delete;
  QuickPeer& operator=(const QuickPeer&) = delete;

  std::uint16_t port() const { return port_; }
  static constexpr std::uint32_t kFileSize = 4096;  // what FileSize answers

 private:
  void acceptLoop();
  void serve(int fd);

  int listenFd_ = -1;
  std::uint16_t port_ = 0;
  std::vector<std::uint8_t> listing_;  // header, count and records in one piece
};

}  // namespace korvex::bench
