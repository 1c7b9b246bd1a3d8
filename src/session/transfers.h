// Background copies: each on a thread, connection and login of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "net/connection.h"
#include "runtime/mutex.h"
#include "runtime/threads.h"
#include "session/streaming.h"

namespace korvex {

struct TransferTask;

// Where a transfer's thread hands its heap connection to whoever stops the
// transfer. The thread publishes the connection once it is connected; a stop
// either finds it (and closes it, ending any wait at once) or gets there
// first and leaves a mark that makes the publication fail. Only this class
// knows the encoding of those states.
class TransferSlot {
 public:
  // The transfer thread: false when a stop came first; the connection then
  // stays the thread's to free.
  bool publish(Connection* connection);
  // A stopper: takes the published connection, if any, to close before
  // joining the thread and to free after. Later calls take nothing.
  Connection* takeForStop();

 private:
  static constexpr std::intptr_t kEmpty = 0;
  static constexpr std::intptr_t kStopped = -1;  // stopped before a connection was published
  static constexpr std::intptr_t kTaken = -2;    // a stop took the connection
  std::atomic<std::intptr_t> state_{kEmpty};
};

struct TransferTask {
  enum class Direction { Upload, Download };

  std::string address;
  std::string password;
  std::uint16_t port = 0;
  std::string phonePath;
  std::string localPath;
  VThread thread;
  TransferSlot slot;
  // Shared with the session, so a handle stays closable after its session
  // is gone.
  std::shared_ptr<class TransferList> list;
  TransferProgress state;
  Direction direction = Direction::Download;
};

// A session's transfers that have not been closed. It outlives the session
// while any of their handles is open.
class TransferList {
 public:
  // Lists and starts the task's thread; false (nothing started) once the
  // list is closed.
  bool start(TransferTask* task);
  // Stops the task, takes it off the list and frees it.
  void close(TransferTask* task);
  // Stops every listed task; their handles stay open. With `closeList`, no
  // task starts from then on.
  void stopAll(bool closeList = false);

 private:
  PlainMutex lock_;
  std::list<TransferTask*> tasks_ GUARDED_BY(lock_);
  bool closed_ GUARDED_BY(lock_) = false;
};

// The body of a transfer's thread; `argument` is its TransferTask.
void* runTransfer(void* argument);

// Stops a transfer: closes the connection it published (or keeps it from
// publishing one), then waits for its thread. Safe to repeat.
void stopTransfer(TransferTask& task);

}  // namespace korvex
