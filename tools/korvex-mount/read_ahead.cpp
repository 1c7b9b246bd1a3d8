#include "read_ahead.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "cache_files.h"
#include "fuse_api.h"
#include "meta_cache.h"

namespace korvex::mount {
namespace {

// How often a wait for a file on its way looks whether the caller gave up.
constexpr std::chrono::milliseconds kPoll{20};

}  // namespace

ReadAhead::ReadAhead(korvex::SessionPool& pool, MetaCache& meta, Space& space, std::filesystem::path dir,
                     std::chrono::milliseconds fresh)
    : pool_(pool), meta_(meta), space_(space), dir_(std::move(dir)), fresh_(fresh) {
  std::error_code error;
  std::filesystem::create_directory(dir_, error);
  if (!error && fresh_.count() > 0) worker_ = std::thread([this] { work(); });
}

void ReadAhead::opened(const std::string& path) {
  const std::string folder = korvex::parent_path(path), name = korvex::base_name(path);
  std::lock_guard hold(mutex_);
  if (stopping_ || !worker_.joinable()) return;
  if (folder != folder_ || last_.empty() || name <= last_) {
    dropLocked();
    folder_ = folder;
    last_ = name;
    return;
  }
  // Files passed over will not be read.
  while (!entries_.empty() && korvex::base_name(entries_.front().path) < name) {
    discard(entries_.front());
    entries_.pop_front();
  }
  last_ = name;
  topUp(folder, name);
}

void ReadAhead::topUp(const std::string& folder, const std::string& name) {
  std::uint64_t bytes = 0;
  for (const Entry& entry : entries_) bytes += entry.size;
  const std::string after = entries_.empty() ? name : korvex::base_name(entries_.back().path);
  if (entries_.size() >= kWindowFiles) return;
  for (const NamedAttr& file : meta_.filesAfter(folder, after, kWindowFiles - entries_.size())) {
    if (!file.attr.size || *file.attr.size > kLargestFile) continue;  // fetched at open(), as it streams
    const std::uint64_t size = *file.attr.size;
    if (bytes + size > kWindowBytes || !space_.reserve(size)) break;
    bytes += size;
    Entry& entry = entries_.emplace_back();
    entry.path = korvex::join_path(folder, file.name);
    entry.local = dir_ / std::to_string(++counter_);
    entry.size = size;
  }
  changed_.notify_all();
}

std::optional<std::uint64_t> ReadAhead::take(const std::string& path, const std::filesystem::path& target) {
  std::unique_lock hold(mutex_);
  for (;;) {
    const Entry* entry = find(path);
    if (!entry) return std::nullopt;
    if (entry->state == State::Landed || entry->state == State::Failed) break;
    if (fuse_interrupted()) return std::nullopt;
    changed_.wait_for(hold, kPoll);
  }
  const auto at = std::find_if(entries_.begin(), entries_.end(), [&path](const Entry& e) { return e.path == path; });
  const Entry taken = *at;
  entries_.erase(at);
  if (taken.state == State::Landed && Clock::now() - taken.landed <= fresh_) {
    std::error_code error;
    std::filesystem::rename(taken.local, target, error);
    if (!error) return taken.size;
  }
  discard(taken);
  return std::nullopt;
}

void ReadAhead::drop() {
  std::lock_guard hold(mutex_);
  dropLocked();
  folder_.clear();
  last_.clear();
}

void ReadAhead::stop() {
  {
    std::lock_guard hold(mutex_);
    stopping_ = true;
    dropLocked();
  }
  changed_.notify_all();
  if (worker_.joinable()) worker_.join();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void ReadAhead::dropLocked() {
  for (const Entry& entry : entries_) discard(entry);
  entries_.clear();
  ++generation_;
  if (fetching_) fetching_->interrupt();
  changed_.notify_all();
}

// A file on its way is removed by the worker when its series returns.
void ReadAhead::discard(const Entry& entry) {
  if (entry.state != State::Fetching) {
    std::error_code ignored;
    std::filesystem::remove(entry.local, ignored);
  }
  space_.give(entry.size);
}

ReadAhead::Entry* ReadAhead::find(const std::string& path) {
  for (Entry& entry : entries_) {
    if (entry.path == path) return &entry;
  }
  return nullptr;
}

void ReadAhead::work() {
  std::unique_lock hold(mutex_);
  while (!stopping_) {
    const bool queued = std::any_of(entries_.begin(), entries_.end(), [](const Entry& e) { return e.state == State::Queued; });
    if (queued) {
      fetch(hold);
    } else {
      changed_.wait(hold);
    }
  }
}

// One series of the next queued files on a pooled session. Called with
// `hold` locked; unlocks it while the files move.
void ReadAhead::fetch(std::unique_lock<std::mutex>& hold) {
  std::vector<std::pair<std::string, korvex::LocalPath>> files;
  std::vector<std::filesystem::path> locals;
  for (Entry& entry : entries_) {
    if (entry.state != State::Queued) continue;
    entry.state = State::Fetching;
    files.emplace_back(entry.path, korvex::LocalPath(entry.local));
    locals.push_back(entry.local);
    if (files.size() == kSeriesFiles) break;
  }
  const std::uint64_t generation = generation_;
  hold.unlock();
  std::vector<korvex::Status> results(files.size(), korvex::Status(korvex::Errc::connection_lost));
  {
    korvex::Result<korvex::SessionPool::Lease> lease = pool_.acquire();
    if (lease) {
      hold.lock();
      const bool wanted = generation == generation_ && !stopping_;
      if (wanted) fetching_ = &*lease.value();
      hold.unlock();
      if (wanted) results = (*lease.value()).download_files(files);
      hold.lock();
      fetching_ = nullptr;
      hold.unlock();
    }
  }
  hold.lock();
  const auto now = Clock::now();
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto at = std::find_if(entries_.begin(), entries_.end(),
                                 [&](const Entry& e) { return e.local == locals[i] && e.state == State::Fetching; });
    std::error_code error;
    if (at == entries_.end()) {
      std::filesystem::remove(locals[i], error);  // dropped meanwhile
      continue;
    }
    const std::uintmax_t landed = results[i] ? std::filesystem::file_size(locals[i], error) : 0;
    if (!results[i] || error || landed > 0xFFFFFFFFu) {
      at->state = State::Failed;
      continue;
    }
    at->state = State::Landed;
    at->landed = now;
    // The phone just told this file's size: the lookup open() makes need
    // not ask again.
    meta_.learn(at->path, Attr{Kind::File, static_cast<std::uint32_t>(landed)});
  }
  changed_.notify_all();
}

}  // namespace korvex::mount
