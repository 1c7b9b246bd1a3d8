// Helpers for tests that open sessions through the exported functions.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include "deadline.h"
#include "korvex.h"
#include "scripted_peer.h"
#include "temp_dir.h"
#include "session/session.h"

namespace korvex::test {

inline PhoneSession* sessionOf(SessionHandle handle) { return reinterpret_cast<PhoneSession*>(handle); }

// Ends a session as a host does, so a test leaves no thread behind. Closing
// the peer first ends a keep-alive exchange that waits for an answer.
inline void endSession(SessionHandle handle, ScriptedPeer* peer = nullptr) {
  if (peer) peer->close();
  Disconnect(handle);
}

// The connected flag ConnectionState reports for a session.
inline char connectedFlag(SessionHandle handle) {
  char connected = 9;
  char address[64];
  char name[64];
  ConnectionState(handle, &connected, address, name);
  return connected;
}

// Waits up to `limit` for a session to report its link gone, as it does once
// its keep-alive found the link broken; true when it did.
inline bool waitUntilDisconnected(SessionHandle handle, std::chrono::milliseconds limit) {
  const Deadline deadline(limit);
  while (connectedFlag(handle) != 0) {
    if (deadline.leftMs() == 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Connects to a scripted peer and answers the login. The session's first
// keep-alive is a whole period away, so a test's own exchanges come first.
inline SessionHandle connectTo(ScriptedPeer& peer, const char* password = "secret",
                               std::string_view deviceName = "Phone") {
  auto connecting = std::async(std::launch::async, [&] {
    int error = -1;
    return Connect(peer.address().c_str(), password, &error);
  });
  peer.acceptLogin(deviceName);
  return connecting.get();
}

// A session on a scripted peer, ended when the test ends.
struct PeerSession {
  PeerSession() : handle(connectTo(peer)) {}
  ~PeerSession() { endSession(handle, &peer); }
  PhoneSession& session() { return *sessionOf(handle); }

  ScriptedPeer peer;
  SessionHandle handle;
};

// A log file in a fresh temporary directory, enabled at `level` and turned
// off again at the end.
class LogCapture {
 public:
  explicit LogCapture(unsigned level = 8) : path_(dir_ / "log.txt") { EnableLog(true, level, path_.string().c_str()); }
  ~LogCapture() { EnableLog(false, 0, nullptr); }
  // Lines end in "\n" here also where the log, a text file, ends them in "\r\n".
  std::string text() const {
    std::ifstream in(path_);
    std::stringstream all;
    all << in.rdbuf();
    std::string lines = all.str();
    for (std::size_t at = 0; (at = lines.find("\r\n", at)) != std::string::npos;) lines.erase(at, 1);
    return lines;
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  TempDir dir_{"korvex-log"};
  std::filesystem::path path_;
};

}  // namespace korvex::test
