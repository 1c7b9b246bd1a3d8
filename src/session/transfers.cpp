#include "session/transfers.h"

#include <algorithm>
#include <memory>

#include "net/tcp_connector.h"
#include "runtime/local_file.h"
#include "session/login.h"
#include "session/protocol.h"
#include "session/session.h"

namespace korvex {

namespace {

void* transferMain(void* argument) {
  auto* task = static_cast<TransferTask*>(argument);
  Connection* connection;
  {
    TcpConnector connector(true);
    connector.setTarget(task->address, task->port, true);
    if (!connector.connect()) return nullptr;
    // The connector's share goes with this scope, so a closer's close() is
    // the last share and wakes a pending wait at once.
    connection = new Connection(connector.connection());
  }
  // Testing for the cancel marker and publishing the connection are one step:
  // a cancel lands either before (we see the marker) or after (the closer
  // sees the connection).
  std::intptr_t expected = TransferTask::kNoConnection;
  if (!task->thread.exchangeSlot(expected, reinterpret_cast<std::intptr_t>(connection))) {
    delete connection;
    task->state.progress.store(TransferProgress::kFailed);
    return nullptr;
  }
  connection->setTimeout(protocol::IO_TIMEOUT_MS);
  std::string deviceName;
  if (!login(*connection, task->password, deviceName)) return nullptr;

  PlainMutex privateLock;
  if (task->direction == TransferTask::Direction::Upload) {
    streamUpload(*connection, privateLock, task->localPath, task->phonePath, &task->state);
  } else {
    streamDownload(*connection, privateLock, task->phonePath, task->localPath, &task->state);
  }
  connection->close();
  return nullptr;
}

}  // namespace

void stopTransferThread(VThread& thread) {
  std::intptr_t slot = TransferTask::kNoConnection;
  if (thread.exchangeSlot(slot, TransferTask::kCancelMarker) || slot == TransferTask::kCancelMarker ||
      slot == TransferTask::kReleased) {
    thread.join();
    return;
  }
  auto* connection = reinterpret_cast<Connection*>(slot);
  connection->close();
  thread.join();
  delete connection;
  thread.setSlot(TransferTask::kReleased);
}

void ClientThread::startTransfer(TransferTask* task) {
  task->address = address;
  task->password = password;
  task->port = port;
  task->owner = this;
  LockHelper lock(transferLock);
  transfers.push_back(&task->thread);
  // Started under the lock, so a concurrent stop never joins a thread that
  // is still being created.
  task->thread.spawn(&transferMain, task, 0);
}

TransferTask* ClientThread::startUpload(const std::string& localPath, const std::string& phonePath) {
  if (isShutdown()) return nullptr;
  VFile file;
  if (!file.open(localPath, VFILE_READ)) return nullptr;
  auto task = std::make_unique<TransferTask>();
  task->direction = TransferTask::Direction::Upload;
  task->state.total.store(static_cast<std::int32_t>(file.size()));
  task->phonePath = phonePath;
  task->localPath = localPath;
  startTransfer(task.get());
  return task.release();
}

TransferTask* ClientThread::startDownload(const std::string& phonePath, const std::string& localPath) {
  if (isShutdown()) return nullptr;
  auto task = std::make_unique<TransferTask>();
  task->direction = TransferTask::Direction::Download;
  task->phonePath = phonePath;
  task->localPath = localPath;
  task->state.total.store(fileSize(phonePath));
  startTransfer(task.get());
  return task.release();
}

int ClientThread::closeTransfer(TransferTask* task) {
  ClientThread* owner = task->owner;
  std::unique_ptr<TransferTask> release(task);
  LockHelper lock(owner->transferLock);
  const auto found = std::find(owner->transfers.begin(), owner->transfers.end(), &task->thread);
  if (found != owner->transfers.end()) owner->transfers.erase(found);
  stopTransferThread(task->thread);
  return 0;
}

void ClientThread::stopAllTransfers() {
  LockHelper lock(transferLock);
  for (VThread* thread : transfers) stopTransferThread(*thread);
}

}  // namespace korvex
