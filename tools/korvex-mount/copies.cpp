#include "copies.h"

#include <cerrno>
#include <cstring>
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

using Phase = korvex::Progress::Phase;

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
  if (size <= kWholeCopyLimit) return fetchWhole(file, path);
  file.holdsSlot = true;
  const SessionRef session = phone_.session();
  if (!session) return -EIO;
  korvex::Result<korvex::Transfer> download = session->start_download(path, file.local);
  if (!download) return -EIO;
  file.download = std::move(download).value();
  file.session = session;
  file.content = Content::Loading;
  file.started = Clock::now();
  // Wait for the phone to take the request, so that a file that is gone
  // (or too large) fails open() rather than the first read.
  while (file.download.progress().phase == Phase::starting) {
    if (fuse_interrupted()) return -EINTR;
    if (neverStarts(*session, file.started)) break;
    waitForProgress();
  }
  advance(file);
  if (file.content != Content::Failed) return 0;
  return file.failure != -EIO ? file.failure : downloadRefusal(phone_, path);
}

// The size listed may be out of date: what landed is what the cache holds.
// Called with the file's mutex and a slot, which it gives back.
int Copies::fetchWhole(OpenFile& file, const std::string& path) {
  const korvex::Status fetched =
      pool_.run([&](const korvex::Session& session) { return session.download(path, file.local); });
  slots_.release();
  std::uint64_t landed = 0;
  if (!fetched || CacheFiles::sizeAt(file.local, landed) != 0) {
    note("%s: the download failed", file.path().c_str());
    file.content = Content::Failed;
    return fetched ? -EIO : errnoOf(fetched.error());
  }
  file.failure = takeLanded(file, landed);
  return file.failure;
}

// A copy still starting when its start time is up, or when the session lost
// the phone meanwhile. A copy that cannot connect stays starting: without
// this it would be waited for until the time-out.
bool Copies::neverStarts(const korvex::Session& session, Clock::time_point started) const {
  return Clock::now() - started > startTimeout_ || !session.connected();
}

// Takes a download's news. Called with the file's mutex.
void Copies::advance(OpenFile& file) {
  if (file.content != Content::Loading) return;
  const korvex::Progress progress = file.download.progress();
  const std::uint32_t announced = progress.total;
  bool done = false;
  if (progress.phase == Phase::starting) {
    if (!neverStarts(*file.session, file.started)) return;
    note("%s: the download did not start", file.path().c_str());
  } else if (progress.phase != Phase::failed) {
    // The reply's size is what arrives, whatever the phone said of the
    // file's size before: the cache bound holds against it.
    if (announced > kMaxDownloadSize || announced > cache_.limit()) {
      file.failure = -EFBIG;
    } else if (cache_.grow(file, announced) != 0) {
      file.failure = -ENOSPC;
    } else if (progress.phase == Phase::running) {
      return;
    } else {
      done = true;
    }
  }
  // Ending the transfer waits for the copy's thread, which puts the file in
  // place.
  file.download.cancel();
  if (file.holdsSlot) slots_.release();
  file.holdsSlot = false;
  if (done) {
    file.failure = takeLanded(file, announced);
    return;
  }
  if (file.failure == -EFBIG) {
    note("%s: the phone sends %u bytes, more than the cache takes", file.path().c_str(), announced);
  } else if (progress.phase == Phase::failed) {
    note("%s: the download failed", file.path().c_str());
  }
  file.content = Content::Failed;
}

// A whole download is in place at `size` bytes: it becomes the cache file,
// within the cache's bound. 0 or the error reads and open() return. Called
// with the file's mutex.
int Copies::takeLanded(OpenFile& file, std::uint64_t size) {
  int error = -EIO;
  if (size > kMaxDownloadSize || size > cache_.limit()) {
    note("%s: the phone sends %llu bytes, more than the cache takes", file.path().c_str(),
         static_cast<unsigned long long>(size));
    error = -EFBIG;
  } else if (cache_.grow(file, size) != 0) {
    error = -ENOSPC;
  } else if (cache_.adoptComplete(file, static_cast<std::uint32_t>(size))) {
    file.content = Content::Complete;
    if (file.writable) file.current = true;
    return 0;
  } else {
    note("%s: the download failed", file.path().c_str());
  }
  file.content = Content::Failed;
  return error;
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

// The library confirms the size the phone stored: a copy that returns done
// is there.
int Copies::upload(OpenFile& file) {
  const std::string dest = file.path();
  if (!slots_.acquire()) return -EINTR;
  std::uint64_t size = 0;
  const bool sized = CacheFiles::sizeAt(file.local, size) == 0;
  const bool whole = sized && size <= kWholeCopyLimit;
  const int result = whole ? sendWhole(file, dest) : sendInBackground(file, dest);
  slots_.release();
  if (result == 0 && sized && size <= kMaxDownloadSize) {
    meta_.learn(dest, Attr{Kind::File, static_cast<std::uint32_t>(size)});  // the size the phone confirmed
  } else {
    meta_.forget(dest);
  }
  file.uploadFailed = result != 0;
  if (result == 0) {
    file.dirty = false;
  } else if (result != -EINTR) {
    note("%s: the upload failed: %s", dest.c_str(), std::strerror(-result));
  }
  return result;
}

int Copies::sendWhole(OpenFile& file, const std::string& dest) {
  const korvex::Status sent =
      pool_.run([&](const korvex::Session& session) { return session.upload(file.local, dest); });
  return errnoOf(sent.error());
}

int Copies::sendInBackground(OpenFile& file, const std::string& dest) {
  const SessionRef session = phone_.session();
  if (!session) return -EIO;
  korvex::Result<korvex::Transfer> transfer = session->start_upload(file.local, dest);
  if (!transfer) return -EIO;
  int result = -EIO;
  const auto started = Clock::now();
  for (;;) {
    const Phase phase = transfer->progress().phase;
    if (phase == Phase::failed) break;
    if (phase == Phase::starting && neverStarts(*session, started)) break;
    if (phase == Phase::done) {
      result = 0;
      break;
    }
    if (fuse_interrupted()) {
      result = -EINTR;
      break;
    }
    waitForProgress();
  }
  transfer->cancel();  // before its slot is free
  return result;
}

void Copies::stop(OpenFile& file) {
  file.download.cancel();
  if (file.holdsSlot) slots_.release();
  file.holdsSlot = false;
}

}  // namespace korvex::mount
