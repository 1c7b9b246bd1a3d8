#include <memory>

#include "api/boundary.h"
#include "korvex.h"
#include "protocol.h"
#include "session/session.h"

using namespace korvex;

// The bounds the header promises are the ones the codec enforces.
static_assert(KORVEX_MAX_PATH == protocol::MAX_PATH_LENGTH);
static_assert(KORVEX_MAX_RENAME_DEST == protocol::MAX_RENAME_DEST_LENGTH);
static_assert(KORVEX_MAX_PASSWORD == protocol::MAX_PASSWORD_LENGTH);
static_assert(KORVEX_DEVICE_NAME_SIZE == protocol::DEVICE_NAME_SIZE);

extern "C" {

KORVEX_API SessionHandle Connect(const char* address, const char* password, int* error) {
  // The password never reaches a log.
  if (logWouldWrite(DEBUG)) {
    logPrint(DEBUG, "[%d-%d]CONNECT IP %s pasw %s", platform::processId(), platform::threadId(), address,
             "********");
  }
  return api::guarded<SessionHandle>(nullptr, [&]() -> SessionHandle {
    // The handle owns its session from here until Disconnect frees it.
    auto session = std::make_unique<PhoneSession>();
    if (!session->open(address, password, protocol::SERVICE_PORT, error)) {
      session->disconnect();
      return nullptr;
    }
    if (logWouldWrite(DEBUG)) {
      const int pid = platform::processId();
      const int tid = platform::threadId();
      logPrint(DEBUG, "[%d-%d]OSKAVEL INIT", pid, tid);
      logPrint(DEBUG, "[%d-%d]RET NEW HANDLE %u", pid, tid, api::handleUnsigned(session.get()));
    }
    return reinterpret_cast<SessionHandle>(session.release());
  });
}

KORVEX_API void ConnectionState(SessionHandle handle, char* connected, char* address, char* name) {
  api::trace("[%d-%d-%d]connection state", handle);
  reinterpret_cast<const PhoneSession*>(handle)->getState(connected, address, name);
}

// Extensions: ordinals from 31 up.

KORVEX_API bool Disconnect(SessionHandle handle) {
  api::trace("[%d-%d-%d]Disconnect", handle);
  if (handle == nullptr) return false;
  return api::guarded(false, [&] {
    const std::unique_ptr<PhoneSession> session(reinterpret_cast<PhoneSession*>(handle));
    return session->disconnect();
  });
}

KORVEX_API void CloseConnection(SessionHandle handle) {
  api::trace("[%d-%d-%d]CloseConnection", handle);
  if (handle == nullptr) return;
  api::guardedVoid([&] { reinterpret_cast<PhoneSession*>(handle)->closeConnection(); });
}

}  // extern "C"
