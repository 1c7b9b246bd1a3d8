// A session: one logged-in connection to the phone's service, its locks,
// its keep-alive thread and its background transfers. Every command, listing
// and synchronous copy is a short wrapper in session.cpp: take the command
// lock, check the lengths, run the operation on an Exchange (commands.h,
// listing.h, streaming.h). Background copies go to transfers.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/connection.h"
#include "runtime/mutex.h"
#include "runtime/threads.h"
#include "runtime/wake_event.h"
#include "session/batches.h"
#include "session/download_series.h"
#include "session/upload_series.h"

namespace korvex {

struct TransferTask;
class TransferList;
namespace listing {
struct TraceFormat;
}

// The object behind a session handle. Its own thread is the keep-alive.
class PhoneSession : public StoppableThread {
 public:
  PhoneSession();
  ~PhoneSession() override = default;

  // Connects, logs in and starts the keep-alive thread. `error` (may be
  // null) receives 0, 1 when the TCP connect failed, 2 when the login did.
  bool open(const std::string& address, const std::string& password, std::uint16_t port, int* error);
  void getState(char* connectedOut, char* addressOut, char* nameOut) const;

  // The keep-alive loop, and a shutdown that wakes it at once.
  void thread() override;
  void shutdown() override;

  // Ends the session for good: stops the keep-alive, closes the connection
  // (a call blocked on it on another thread fails at once) and waits for
  // that call, stops the background copies (their handles stay open). True
  // when the session was still connected. The caller then frees it.
  bool disconnect();
  // Closes the connection from any thread, as a lost link would: a call
  // blocked on it fails at once, and the keep-alive, woken, stops the
  // background copies. The session stays until disconnect().
  void closeConnection();

  // Path and device commands: one exchange each under the command lock.
  // Paths over the length limit are refused before anything is sent.
  bool rename(const std::string& source, const std::string& dest);
  bool deleteFile(const std::string& path);
  bool deleteDirectory(const std::string& path, bool recursive);
  bool makeDirectory(const std::string& path);
  int fileSize(const std::string& path);
  int isDirectory(const std::string& path);
  int exists(const std::string& path);
  int spaceSize(const std::string& path);
  bool chown(const std::string& path, int owner, int group);
  bool power(std::uint32_t code);

  // Listings: the total length of the '/'-joined buffer stored in `out`,
  // 0 for none, -1 failure, -2 null `out`, -3 path too long.
  int getFiles(const std::string& path, char** out);
  int getDirectories(const std::string& path, char** out);

  // Pipelined batches (batches.h), the whole batch under the command lock:
  // a directory's entries with their sizes, the sizes of many paths, and
  // what many paths are.
  batches::Outcome entries(const std::string& path, std::vector<batches::Entry>& out,
                           int window = batches::kWindow);
  batches::Outcome sizes(const std::vector<std::string_view>& paths, std::vector<std::int64_t>& out,
                         int window = batches::kWindow);
  batches::Outcome kinds(const std::vector<std::string_view>& paths, std::vector<batches::PathKind>& out,
                         int window = batches::kWindow);

  // Synchronous copies on the session connection.
  bool download(const std::string& phonePath, const std::string& localPath);
  bool upload(const std::string& localPath, const std::string& phonePath);
  // Several uploads back to back (upload_series.h); false when the
  // exchange broke off.
  bool uploadSeries(const std::vector<UploadJob>& jobs, std::vector<bool>& landed);
  // Several downloads with their requests pipelined (download_series.h);
  // false when the exchange broke off.
  bool downloadSeries(const std::vector<DownloadJob>& jobs, std::vector<bool>& landed);

  // Background copies on connections of their own.
  TransferTask* startUpload(const std::string& localPath, const std::string& phonePath);
  TransferTask* startDownload(const std::string& phonePath, const std::string& localPath);
  void stopAllTransfers();

 private:
  // Takes the command lock, then runs `operation` on an exchange over the
  // session's connection, or returns `refused` when `fits` is false.
  template <typename Result, typename Operation>
  Result underCommandLock(Result refused, bool fits, Operation operation);
  // The one access to the connection without the command lock: a close,
  // which ends a call blocked on the connection while it holds that lock.
  void closeConnectionUnlocked();
  int listNames(std::uint32_t code, const std::string& path, char** out, const listing::TraceFormat& format);
  TransferTask* startTransfer(std::unique_ptr<TransferTask> task);

  const std::shared_ptr<TransferList> transfers;
  PlainMutex commandLock;
  Connection connection GUARDED_BY(commandLock);
  std::string address;
  std::string password;
  std::string deviceName;
  WakeEvent wakeup;  // ends the keep-alive's pause at shutdown; stays set, so never missed
  std::uint16_t port = 0;
  std::atomic<bool> connected{false};
};

}  // namespace korvex
