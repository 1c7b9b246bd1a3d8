#include "session/session.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "runtime/local_file.h"
#include "runtime/log.h"
#include "runtime/platform.h"
#include "session/commands.h"
#include "session/listing.h"
#include "session/login.h"
#include "session/streaming.h"
#include "protocol.h"
#include "session/transfers.h"

namespace korvex {

using namespace protocol;

template <typename Result, typename Operation>
Result PhoneSession::underCommandLock(Result refused, bool fits, Operation operation) {
  LockHelper lock(commandLock);
  if (!fits) return refused;
  Exchange exchange(connection);
  Result result = operation(exchange);
  // An exchange that broke off closed the connection: the state says so at
  // once, so that a caller can tell a lost connection from a refusal
  // without waiting for the next keep-alive.
  if (!connection.live()) connected.store(false);
  return result;
}

PhoneSession::PhoneSession() : transfers(std::make_shared<TransferList>()) {}

// --- Opening and state

bool PhoneSession::open(const std::string& addressText, const std::string& passwordText,
                        std::uint16_t servicePort, int* error) {
  if (error) *error = 0;
  {
    // Nobody else can hold the lock yet; taking it states who owns the
    // connection from here on.
    LockHelper lock(commandLock);
    const OpenResult opened = openLoggedIn(addressText, servicePort, passwordText, connection, deviceName);
    if (opened != OpenResult::Ready) {
      if (error) *error = opened == OpenResult::ConnectFailed ? 1 : 2;
      connection.close();
      connected.store(false);
      return false;
    }
  }
  address = addressText;
  password = passwordText;
  port = servicePort;
  connected.store(true);
  run();
  return true;
}

void PhoneSession::getState(char* connectedOut, char* addressOut, char* nameOut) const {
  *connectedOut = connected.load() ? 1 : 0;
  std::memcpy(nameOut, deviceName.c_str(), deviceName.size() + 1);
  std::memcpy(addressOut, address.c_str(), address.size() + 1);
}

// --- Keep-alive

void PhoneSession::thread() {
  bool lost = false;
  for (;;) {
    // The pause comes first: the login's reply has just proved the link, and
    // an exchange sent at once would hold up the caller's first command by a
    // round trip. One system call per pause; a shutdown before or during it
    // ends it.
    wakeup.waitFor(KEEPALIVE_PERIOD_MS);
    if (isShutdown()) break;
    const bool alive = underCommandLock(false, true, [](Exchange& e) {
      if (commands::keepAlive(e)) return true;
      e.abandon();  // one that could not even be sent left the connection open
      return false;
    });
    if (!alive) {
      connected.store(false);
      lost = true;
      break;
    }
  }
  stopAllTransfers();
  // Last: a join that finds the thread released returns at once, and its
  // caller may free the session.
  if (lost) releaseSelf();  // a lost session's thread is never joined
}

void PhoneSession::shutdown() {
  StoppableThread::shutdown();
  wakeup.signal();
}

// Without the command lock, which a call blocked on the connection holds:
// the close wakes that call, and a Connection may be closed from any thread.
void PhoneSession::closeConnectionUnlocked() NO_THREAD_SAFETY_ANALYSIS { connection.close(); }

void PhoneSession::closeConnection() {
  connected.store(false);
  closeConnectionUnlocked();
  // The keep-alive's next exchange fails on the closed connection, and it
  // ends as on a lost link; woken now, so the copies stop at once.
  wakeup.signal();
}

bool PhoneSession::disconnect() {
  const bool wasConnected = connected.exchange(false);
  shutdown();
  closeConnectionUnlocked();
  join();
  transfers->stopAll(true);
  // A call still running on another thread has failed by now; wait for it
  // to let go of the session.
  LockHelper settled(commandLock);
  return wasConnected;
}

// --- Path and device commands

bool PhoneSession::rename(const std::string& source, const std::string& dest) {
  return underCommandLock(false, pathFits(source) && dest.size() <= MAX_RENAME_DEST_LENGTH,
                          [&](Exchange& e) { return commands::rename(e, source, dest); });
}

bool PhoneSession::deleteFile(const std::string& path) {
  return underCommandLock(false, pathFits(path), [&](Exchange& e) { return commands::deleteFile(e, path); });
}

bool PhoneSession::deleteDirectory(const std::string& path, bool recursive) {
  return underCommandLock(false, pathFits(path),
                          [&](Exchange& e) { return commands::deleteDirectory(e, path, recursive); });
}

bool PhoneSession::makeDirectory(const std::string& path) {
  return underCommandLock(false, pathFits(path), [&](Exchange& e) { return commands::makeDirectory(e, path); });
}

int PhoneSession::fileSize(const std::string& path) {
  if (!pathFits(path)) return -1;  // checked before the lock, unlike most
  return underCommandLock(-1, true, [&](Exchange& e) { return commands::fileSize(e, path); });
}

int PhoneSession::isDirectory(const std::string& path) {
  return underCommandLock(-1, pathFits(path), [&](Exchange& e) { return commands::isDirectory(e, path); });
}

int PhoneSession::exists(const std::string& path) {
  return underCommandLock(-1, pathFits(path), [&](Exchange& e) { return commands::exists(e, path); });
}

int PhoneSession::spaceSize(const std::string& path) {
  if (!pathFits(path)) return -1;  // checked before the lock, unlike most
  return underCommandLock(-1, true, [&](Exchange& e) { return commands::spaceSize(e, path); });
}

bool PhoneSession::chown(const std::string& path, int owner, int group) {
  return underCommandLock(false, pathFits(path),
                          [&](Exchange& e) { return commands::chown(e, path, owner, group); });
}

bool PhoneSession::power(std::uint32_t code) {
  return underCommandLock(false, true, [&](Exchange& e) { return commands::power(e, code); });
}

// --- Listings

int PhoneSession::getFiles(const std::string& path, char** out) {
  return listNames(CMD_LIST_FILES, path, out, listing::kFiles);
}

int PhoneSession::getDirectories(const std::string& path, char** out) {
  return listNames(CMD_LIST_DIRS, path, out, listing::kDirectories);
}

int PhoneSession::listNames(std::uint32_t code, const std::string& path, char** out,
                            const listing::TraceFormat& format) {
  LockHelper lock(commandLock);
  const int pid = platform::processId();
  const int tid = platform::threadId();
  if (format.withOutPointer) {
    logPrint(DEBUG, format.entry, pid, tid, path.c_str(),
             static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(out)));
  } else {
    logPrint(DEBUG, format.entry, pid, tid, path.c_str());
  }
  if (out == nullptr) return -2;
  if (!pathFits(path)) return -3;
  Exchange exchange(connection);
  const int total = listing::receiveNames(exchange, code, path, out);
  // As in underCommandLock: a listing that broke off says so at once.
  if (!connection.live()) connected.store(false);
  if (total > 0) logPrint(DEBUG, format.success, pid, tid, *out);
  return total;
}

// --- Pipelined batches

batches::Outcome PhoneSession::entries(const std::string& path, std::vector<batches::Entry>& out, int window) {
  return underCommandLock(batches::Outcome::Failed, true,
                          [&](Exchange& e) { return batches::entries(e, path, out, window); });
}

batches::Outcome PhoneSession::sizes(const std::vector<std::string_view>& paths, std::vector<std::int64_t>& out,
                                     int window) {
  return underCommandLock(batches::Outcome::Failed, true,
                          [&](Exchange& e) { return batches::sizes(e, paths, out, window); });
}

batches::Outcome PhoneSession::kinds(const std::vector<std::string_view>& paths,
                                     std::vector<batches::PathKind>& out, int window) {
  return underCommandLock(batches::Outcome::Failed, true,
                          [&](Exchange& e) { return batches::kinds(e, paths, out, window); });
}

// --- Synchronous copies, on the session connection

bool PhoneSession::download(const std::string& phonePath, const std::string& localPath) {
  return underCommandLock(false, true,
                          [&](Exchange& e) { return streamDownload(e, phonePath, localPath, nullptr); });
}

bool PhoneSession::upload(const std::string& localPath, const std::string& phonePath) {
  return underCommandLock(false, true,
                          [&](Exchange& e) { return streamUpload(e, localPath, phonePath, nullptr); });
}

bool PhoneSession::uploadSeries(const std::vector<UploadJob>& jobs, std::vector<bool>& landed) {
  landed.assign(jobs.size(), false);
  return underCommandLock(false, true, [&](Exchange& e) { return korvex::uploadSeries(e, jobs, landed); });
}

bool PhoneSession::downloadSeries(const std::vector<DownloadJob>& jobs, std::vector<bool>& landed) {
  landed.assign(jobs.size(), false);
  return underCommandLock(false, true, [&](Exchange& e) { return korvex::downloadSeries(e, jobs, landed); });
}

// --- Background copies

TransferTask* PhoneSession::startTransfer(std::unique_ptr<TransferTask> task) {
  task->address = address;
  task->password = password;
  task->port = port;
  task->list = transfers;
  if (!transfers->start(task.get())) return nullptr;
  return task.release();
}

TransferTask* PhoneSession::startUpload(const std::string& localPath, const std::string& phonePath) {
  if (isShutdown()) return nullptr;
  VFile file;
  // Opened only to be sized: no stream buffer.
  if (!file.open(localPath, VFILE_READ | VFILE_DIRECT)) return nullptr;
  auto task = std::make_unique<TransferTask>();
  task->direction = TransferTask::Direction::Upload;
  task->state.total.store(static_cast<std::int32_t>(file.size()));
  task->phonePath = phonePath;
  task->localPath = localPath;
  return startTransfer(std::move(task));
}

TransferTask* PhoneSession::startDownload(const std::string& phonePath, const std::string& localPath) {
  if (isShutdown()) return nullptr;
  auto task = std::make_unique<TransferTask>();
  task->direction = TransferTask::Direction::Download;
  task->phonePath = phonePath;
  task->localPath = localPath;
  task->state.total.store(fileSize(phonePath));
  return startTransfer(std::move(task));
}

void PhoneSession::stopAllTransfers() { transfers->stopAll(); }

}  // namespace korvex
