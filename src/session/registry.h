// The process's sessions. A session lives until the host disconnects it;
// one whose link was lost stays, so its handle still answers.
#pragma once

#include <list>

#include "runtime/mutex.h"
#include "session/session.h"

namespace korvex {

class ConnManage {
 public:
  static ConnManage& instance();

  ClientThread* createSession();
  // Shuts down and frees a session whose open failed; its handle was never
  // given out.
  void abandonSession(ClientThread* session);
  // Ends the session (ClientThread::disconnect) and frees it; true when it
  // was still connected.
  bool disconnectSession(ClientThread* session);

 private:
  ConnManage() = default;
  virtual ~ConnManage() = default;

  PlainMutex registryLock;
  std::list<ClientThread*> sessions GUARDED_BY(registryLock);
};

}  // namespace korvex
