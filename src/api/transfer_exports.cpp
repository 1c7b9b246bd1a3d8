#include "api/boundary.h"
#include "korvex.h"
#include "session/session.h"
#include "session/transfers.h"

using namespace korvex;

extern "C" {

KORVEX_API TransferHandle CopyToPhoneAsync(SessionHandle handle, const char* source, const char* dest) {
  api::trace("[%d-%d-%d]CopyToPhoneAsync source %s dest %s", handle, source, dest);
  return api::guarded<TransferHandle>(nullptr, [&] {
    return reinterpret_cast<TransferHandle>(reinterpret_cast<PhoneSession*>(handle)->startUpload(source, dest));
  });
}

KORVEX_API TransferHandle DownFromPhoneAsync(SessionHandle handle, const char* source, const char* dest) {
  api::trace("[%d-%d-%d]DownFromPhoneAsync source %s dest %s", handle, source, dest);
  return api::guarded<TransferHandle>(nullptr, [&] {
    return reinterpret_cast<TransferHandle>(reinterpret_cast<PhoneSession*>(handle)->startDownload(source, dest));
  });
}

KORVEX_API int GetTransProgress(TransferHandle handle, int* total, int* progress) {
  const TransferProgress& state = reinterpret_cast<const TransferTask*>(handle)->state;
  *total = state.total.load();
  const int value = state.progress.load();
  *progress = value;
  return value;
}

KORVEX_API int CloseTransHandle(TransferHandle handle) {
  return api::guarded(0, [&] {
    auto* task = reinterpret_cast<TransferTask*>(handle);
    // Held here: closing frees the task, and with its last handle the list.
    const std::shared_ptr<TransferList> list = task->list;
    list->close(task);
    return 0;
  });
}

}  // extern "C"
