// Background copies: each on a thread, connection and login of its own.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/threads.h"
#include "session/streaming.h"

namespace korvex {

class ClientThread;

struct TransferTask {
  enum class Direction { Upload, Download };

  // Values of the thread's connection slot besides a Connection's address.
  static constexpr std::intptr_t kNoConnection = 0;
  static constexpr std::intptr_t kCancelMarker = -1;
  // The connection was closed and deleted by a stop; nothing is left to free.
  static constexpr std::intptr_t kReleased = -2;

  std::string address;
  std::string password;
  std::uint16_t port = 0;
  std::string phonePath;
  std::string localPath;
  VThread thread;
  ClientThread* owner = nullptr;
  TransferProgress state;
  Direction direction = Direction::Download;
};

// Stops a transfer's thread and frees its connection: closes the connection
// it stored, or leaves the cancel marker for a thread that has none yet; then
// waits for the thread. Safe to repeat.
void stopTransferThread(VThread& thread);

}  // namespace korvex
