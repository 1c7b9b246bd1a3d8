#include "session/registry.h"

#include <algorithm>

namespace korvex {

SessionRegistry& SessionRegistry::instance() {
  // Created once even under concurrent first calls, and never destroyed:
  // keep-alive threads may still run when the process exits.
  static SessionRegistry* const registry = new SessionRegistry();
  return *registry;
}

PhoneSession* SessionRegistry::createSession() {
  auto* session = new PhoneSession();
  LockHelper lock(registryLock);
  try {
    sessions.push_back(session);
  } catch (...) {
    delete session;
    throw;
  }
  return session;
}

void SessionRegistry::abandonSession(PhoneSession* session) { disconnectSession(session); }

bool SessionRegistry::disconnectSession(PhoneSession* session) {
  {
    LockHelper lock(registryLock);
    sessions.remove(session);
  }
  const bool wasConnected = session->disconnect();
  delete session;
  return wasConnected;
}

}  // namespace korvex
