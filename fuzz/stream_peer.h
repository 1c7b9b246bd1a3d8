// A loopback peer for the session fuzzer: every connection it accepts gets
// its whole stream at once, then the end of the stream or silence.
//
// Nothing is answered request by request, so the client reads what is
// already in its socket and never waits on the peer's thread except for the
// accept at each log-in; and that thread only ever blocks in poll, woken by
// a connection or by the end of the input. What the client sends is never
// read: it stays in the socket buffers until the input ends.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class StreamPeer {
 public:
  // Listens on 127.0.0.1, on a port of the system's choice, and starts the thread.
  StreamPeer();
  StreamPeer(const StreamPeer&) = delete;
  StreamPeer& operator=(const StreamPeer&) = delete;

  // "127.0.0.1:port".
  const std::string& address() const { return address_; }

  struct Stream {
    std::vector<std::uint8_t> bytes;
    bool thenSilence = false;  // else the end of the stream
  };
  // The streams of one input: the n-th connection accepted from now on gets
  // streams[n]; one past the last gets nothing and silence.
  void begin(std::vector<Stream> streams);
  // Closes every connection of the input, those still waiting for their
  // accept included, and returns once the thread has done so.
  void end();

 private:
  void run();
  void serve(int fd);
  void closeAll();

  int listener_ = -1;
  int control_[2] = {-1, -1};  // end() -> thread
  int done_[2] = {-1, -1};     // thread -> end()
  std::string address_;
  std::mutex lock_;
  std::vector<Stream> streams_;
  std::vector<int> accepted_;  // the thread's alone
  std::thread thread_;
};
