#include "copies.h"

#include <cerrno>
#include <thread>

#include "cache_files.h"
#include "fuse_api.h"
#include "meta_cache.h"
#include "note.h"
#include "open_file.h"
#include "phone.h"
#include "refusal.h"

namespace korvex::mount {
namespace {

// The largest size a download can report: the two above it read as the
// progress markers -1 and -2.
constexpr std::uint32_t kMaxDownloadSize = 0xFFFFFFFDu;

// A copy's progress changes only as its bytes move: polled this often.
void waitForProgress() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

}  // namespace

bool Slots::acquire() {
  std::unique_lock hold(mutex_);
  while (free_ == 0) {
    if (fuse_interrupted()) return false;
    freed_.wait_for(hold, std::chrono::milliseconds(20));
  }
  --free_;
  return true;
}

void Slots::release() {
  {
    std::lock_guard hold(mutex_);
    ++free_;
  }
  freed_.notify_one();
}

int Copies::startDownload(OpenFile& file, const std::string& path, std::uint32_t size) {
  std::lock_guard hold(file.mutex);
  if (size > cache_.limit() || size > kMaxDownloadSize) return -EFBIG;
  if (const int error = cache_.grow(file, size)) return error;
  if (!slots_.acquire()) return -EINTR;
  file.holdsSlot = true;
  SessionRef session = phone_.session();
  if (!session) return -EIO;
  file.download = DownFromPhoneAsync(session, path.c_str(), file.local.c_str());
  if (!file.download) return -EIO;
  file.session = session;
  file.content = Content::Loading;
  file.started = Clock::now();
  // Wait for the phone to take the request, so that a file that is gone
  // (or too large) fails open() rather than the first read.
  int total = 0, progress = 0;
  while (GetTransProgress(file.download, &total, &progress) == -1) {
    if (fuse_interrupted()) return -EINTR;
    if (neverStarts(session, file.started)) break;
    waitForProgress();
  }
  advance(file);
  if (file.content != Content::Failed) return 0;
  return file.failure != -EIO ? file.failure : downloadRefusal(phone_, path);
}

// A copy still connecting (progress -1) when its start time is up, or when
// the session lost the phone meanwhile. A copy that cannot connect stays
// at -1: without this it would be waited for until the time-out.
bool Copies::neverStarts(SessionHandle session, Clock::time_point started) const {
  return Clock::now() - started > startTimeout_ || !phone_.alive(session);
}

// Takes a download's news. Called with the file's mutex.
void Copies::advance(OpenFile& file) {
  if (file.content != Content::Loading) return;
  int total = 0, progress = 0;
  const int value = GetTransProgress(file.download, &total, &progress);
  const auto announced = static_cast<std::uint32_t>(total);
  bool done = false;
  if (value == -1) {
    if (!neverStarts(file.session, file.started)) return;
    note("%s: the download did not start", file.path().c_str());
  } else if (value != -2) {
    // The reply's size is what arrives, whatever FileSize said before:
    // the cache bound holds against it.
    if (announced > kMaxDownloadSize || announced > cache_.limit()) {
      file.failure = -EFBIG;
    } else if (cache_.grow(file, announced) != 0) {
      file.failure = -ENOSPC;
    } else if (static_cast<std::uint32_t>(value) != announced) {
      return;
    } else {
      done = true;
    }
  }
  // Closing waits for the copy's thread, which puts the file in place.
  CloseTransHandle(file.download);
  file.download = nullptr;
  if (file.holdsSlot) slots_.release();
  file.holdsSlot = false;
  if (done && cache_.adoptComplete(file, announced)) {
    file.content = Content::Complete;
    if (file.writable) file.current = true;
    return;
  }
  if (file.failure == -EFBIG) {
    note("%s: the phone sends %u bytes, more than the cache takes", file.path().c_str(), announced);
  } else if (done || value == -2) {
    note("%s: the download failed", file.path().c_str());
  }
  file.content = Content::Failed;
}

int Copies::waitContent(OpenFile& file, std::uint64_t end) {
  for (;;) {
    int fd;
    {
      std::lock_guard hold(file.mutex);
      advance(file);
      if (file.content == Content::Failed) return file.failure;
      if (file.content == Content::Complete) return 0;
      if (file.fd.load() < 0) cache_.adoptPartial(file);
      fd = file.fd.load();
    }
    std::uint64_t size = 0;
    if (fd >= 0 && CacheFiles::sizeOf(fd, size) == 0 && size >= end) return 0;
    if (fuse_interrupted()) return -EINTR;
    waitForProgress();
  }
}

// The library confirms the size the phone stored: a copy at its total is
// there.
int Copies::upload(OpenFile& file) {
  const std::string dest = file.path();
  if (!slots_.acquire()) return -EINTR;
  int result = -EIO;
  SessionRef session = phone_.session();
  TransferHandle transfer = session ? CopyToPhoneAsync(session, file.local.c_str(), dest.c_str()) : nullptr;
  if (transfer) {
    const auto started = Clock::now();
    for (;;) {
      int total = 0, progress = 0;
      const int value = GetTransProgress(transfer, &total, &progress);
      if (value == -2) break;
      if (value == -1 && neverStarts(session, started)) break;
      if (value != -1 && static_cast<std::uint32_t>(value) == static_cast<std::uint32_t>(total)) {
        result = 0;
        break;
      }
      if (fuse_interrupted()) {
        result = -EINTR;
        break;
      }
      waitForProgress();
    }
    CloseTransHandle(transfer);
  }
  slots_.release();
  meta_.forget(dest);
  file.uploadFailed = result != 0;
  if (result == 0) {
    file.dirty = false;
  } else if (result == -EIO) {
    note("%s: the upload failed", dest.c_str());
  }
  return result;
}

void Copies::stop(OpenFile& file) {
  if (file.download) CloseTransHandle(file.download);
  file.download = nullptr;
  if (file.holdsSlot) slots_.release();
  file.holdsSlot = false;
}

}  // namespace korvex::mount
