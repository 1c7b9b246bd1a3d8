// The process's sessions. Sessions are never freed: their handles stay
// valid until the process ends.
#pragma once

#include <list>

#include "runtime/mutex.h"
#include "session/session.h"

namespace korvex {

class ConnManage {
 public:
  static ConnManage& instance();

  ClientThread* createSession();
  // Shuts down and joins a session whose open failed; it stays registered.
  void abandonSession(ClientThread* session);

 private:
  ConnManage() = default;
  virtual ~ConnManage() = default;

  PlainMutex registryLock;
  std::list<ClientThread*> sessions GUARDED_BY(registryLock);
};

}  // namespace korvex
