// The process's sessions. A session lives until the host disconnects it;
// one whose link was lost stays, so its handle still answers.
#pragma once

#include <list>

#include "runtime/mutex.h"
#include "session/session.h"

namespace korvex {

// Owns every session from its Connect until Disconnect frees it.
class SessionRegistry {
 public:
  static SessionRegistry& instance();

  PhoneSession* createSession();
  // Shuts down and frees a session whose open failed; its handle was never
  // given out.
  void abandonSession(PhoneSession* session);
  // Ends the session (PhoneSession::disconnect) and frees it; true when it
  // was still connected.
  bool disconnectSession(PhoneSession* session);

 private:
  SessionRegistry() = default;
  virtual ~SessionRegistry() = default;

  PlainMutex registryLock;
  std::list<PhoneSession*> sessions GUARDED_BY(registryLock);
};

}  // namespace korvex
