#include "meta_cache.h"

#include <algorithm>

#include "korvex.hpp"

namespace korvex::mount {
namespace {

bool byName(const NamedAttr& entry, const std::string& name) { return entry.name < name; }

}  // namespace

std::optional<Attr> MetaCache::find(const std::string& path) {
  const auto now = Clock::now();
  std::lock_guard hold(mutex_);
  if (auto entry = entries_.find(path); entry != entries_.end()) {
    if (entry->second.expires > now) return entry->second.attr;
    entries_.erase(entry);
  }
  auto listing = listings_.find(korvex::parent_path(path));
  if (listing == listings_.end()) return std::nullopt;
  if (listing->second.expires <= now) {
    listings_.erase(listing);
    return std::nullopt;
  }
  const std::string name = korvex::base_name(path);
  const std::vector<NamedAttr>& names = listing->second.entries;
  const auto found = std::lower_bound(names.begin(), names.end(), name, byName);
  if (found != names.end() && found->name == name) return found->attr;
  return Attr{};
}

void MetaCache::remember(const std::string& path, Attr& attr) {
  attr.seen = ++stamps_;
  if (ttl_.count() <= 0) return;
  std::lock_guard hold(mutex_);
  entries_[path] = Entry{attr, Clock::now() + ttl_};
}

void MetaCache::rememberListing(const std::string& dir, std::vector<NamedAttr>& entries) {
  const std::uint64_t seen = ++stamps_;
  for (NamedAttr& entry : entries) entry.attr.seen = seen;
  if (ttl_.count() <= 0) return;
  std::vector<NamedAttr> sorted = entries;
  // A name the phone lists both as a file and as a directory reads as the
  // file.
  std::stable_sort(sorted.begin(), sorted.end(), [](const NamedAttr& a, const NamedAttr& b) {
    if (a.name != b.name) return a.name < b.name;
    return a.attr.kind == Kind::File && b.attr.kind != Kind::File;
  });
  std::lock_guard hold(mutex_);
  listings_[dir] = Listing{std::move(sorted), Clock::now() + ttl_};
}

void MetaCache::markRead(const std::string& path, std::uint64_t seen) {
  if (seen == 0) return;
  std::lock_guard hold(mutex_);
  read_[path] = seen;
}

bool MetaCache::readUnder(const std::string& path, std::uint64_t seen) {
  if (seen == 0) return false;
  std::lock_guard hold(mutex_);
  const auto read = read_.find(path);
  return read != read_.end() && read->second == seen;
}

void MetaCache::forget(const std::string& path) {
  std::lock_guard hold(mutex_);
  entries_.erase(path);
  read_.erase(path);
  listings_.erase(path);
  listings_.erase(korvex::parent_path(path));
  forgetBelow(path);
}

void MetaCache::learn(const std::string& path, Attr attr) {
  attr.seen = ++stamps_;
  const auto now = Clock::now();
  std::lock_guard hold(mutex_);
  entries_.erase(path);
  read_.erase(path);
  listings_.erase(path);
  forgetBelow(path);
  if (ttl_.count() <= 0) return;
  entries_[path] = Entry{attr, now + ttl_};
  auto listing = listings_.find(korvex::parent_path(path));
  if (listing == listings_.end() || listing->second.expires <= now) return;
  const std::string name = korvex::base_name(path);
  std::vector<NamedAttr>& names = listing->second.entries;
  const auto at = std::lower_bound(names.begin(), names.end(), name, byName);
  if (at != names.end() && at->name == name) {
    at->attr = attr;
  } else {
    names.insert(at, NamedAttr{name, attr});
  }
}

void MetaCache::forgetBelow(const std::string& path) {
  const std::string prefix = path == "/" ? "/" : path + "/";
  auto dropPrefixed = [&prefix](auto& map) {
    auto it = map.lower_bound(prefix);
    while (it != map.end() && it->first.compare(0, prefix.size(), prefix) == 0) it = map.erase(it);
  };
  dropPrefixed(entries_);
  dropPrefixed(listings_);
  dropPrefixed(read_);
}

}  // namespace korvex::mount
