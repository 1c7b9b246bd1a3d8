#include "session/registry.h"

#include <algorithm>

namespace korvex {

ConnManage& ConnManage::instance() {
  // Created once even under concurrent first calls, and never destroyed:
  // keep-alive threads may still run when the process exits.
  static ConnManage* const registry = new ConnManage();
  return *registry;
}

ClientThread* ConnManage::createSession() {
  auto* session = new ClientThread();
  LockHelper lock(registryLock);
  try {
    sessions.push_back(session);
  } catch (...) {
    delete session;
    throw;
  }
  return session;
}

void ConnManage::abandonSession(ClientThread* session) { disconnectSession(session); }

bool ConnManage::disconnectSession(ClientThread* session) {
  {
    LockHelper lock(registryLock);
    sessions.remove(session);
  }
  const bool wasConnected = session->disconnect();
  delete session;
  return wasConnected;
}

}  // namespace korvex
