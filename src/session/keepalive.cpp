// The session's own thread: proves the connection alive between commands.
#include <cerrno>

#include "session/protocol.h"
#include "session/session.h"

namespace korvex {

void ClientThread::thread() {
  while (!isShutdown()) {
    {
      LockHelper lock(commandLock);
      protocol::ReplyHeader ignored;
      if (Exchange(connection).request(protocol::CMD_KEEPALIVE, nullptr, ignored) != Stage::Replied) {
        connection.close();
        connected.store(false);
        break;
      }
    }
    // The flag is tested under the mutex that shutdown() broadcasts under, so
    // a shutdown cannot slip in between the test and the wait.
    LockHelper lock(wakeupMutex);
    TimeVal deadline;
    deadline.monotonicNow().add(TimeVal(0, protocol::KEEPALIVE_PERIOD_MS * 1000LL));
    while (!isShutdown() && wakeup.waitUntil(wakeupMutex, deadline) != ETIMEDOUT) {
    }
  }
  stopAllTransfers();
}

void ClientThread::shutdown() {
  LockHelper lock(wakeupMutex);
  ThreadIf::shutdown();
  wakeup.broadcast();
}

}  // namespace korvex
