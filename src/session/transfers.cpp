#include "session/transfers.h"

#include <algorithm>

#include "session/login.h"

namespace korvex {

bool TransferSlot::publish(Connection* connection) {
  std::intptr_t expected = kEmpty;
  return state_.compare_exchange_strong(expected, reinterpret_cast<std::intptr_t>(connection));
}

Connection* TransferSlot::takeForStop() {
  std::intptr_t seen = state_.load();
  for (;;) {
    if (seen == kStopped || seen == kTaken) return nullptr;
    const std::intptr_t next = seen == kEmpty ? kStopped : kTaken;
    if (state_.compare_exchange_weak(seen, next)) {
      return seen == kEmpty ? nullptr : reinterpret_cast<Connection*>(seen);
    }
  }
}

void* runTransfer(void* argument) {
  auto& task = *static_cast<TransferTask*>(argument);
  auto* connection = new Connection();
  std::string deviceName;
  // Publishing happens between connect and login: a cancel lands either
  // before (the publication fails) or after (the stopper closes it).
  bool published = false;
  const OpenResult opened = openLoggedIn(task.address, task.port, task.password, *connection, deviceName, [&] {
    published = task.slot.publish(connection);
    return published;
  });
  if (!published) {
    delete connection;
    if (opened == OpenResult::Cancelled) task.state.progress.store(TransferProgress::kFailed);
    return nullptr;
  }
  if (opened != OpenResult::Ready) return nullptr;

  // The connection is this thread's alone: a stop reaches it only through
  // close, which needs no lock, so the copy's exchange runs without one.
  Exchange exchange(*connection);
  if (task.direction == TransferTask::Direction::Upload) {
    streamUpload(exchange, task.localPath, task.phonePath, &task.state);
  } else {
    streamDownload(exchange, task.phonePath, task.localPath, &task.state);
  }
  connection->close();
  return nullptr;
}

bool TransferList::start(TransferTask* task) {
  LockHelper hold(lock_);
  if (closed_) return false;
  tasks_.push_back(task);
  // Started under the lock, so a concurrent stop never joins a thread that
  // is still being created.
  task->thread.spawn(&runTransfer, task);
  return true;
}

void TransferList::close(TransferTask* task) {
  std::unique_ptr<TransferTask> release(task);
  LockHelper hold(lock_);
  const auto found = std::find(tasks_.begin(), tasks_.end(), task);
  if (found != tasks_.end()) tasks_.erase(found);
  stopTransfer(*task);
}

void TransferList::stopAll(bool closeList) {
  LockHelper hold(lock_);
  if (closeList) closed_ = true;
  for (TransferTask* task : tasks_) stopTransfer(*task);
}

void stopTransfer(TransferTask& task) {
  Connection* connection = task.slot.takeForStop();
  if (connection) connection->close();
  task.thread.join();
  delete connection;
}

}  // namespace korvex
