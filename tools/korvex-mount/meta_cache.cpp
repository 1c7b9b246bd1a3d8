#include "meta_cache.h"

#include <algorithm>

#include "korvex.hpp"

namespace korvex::mount {

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
  const Listing& names = listing->second;
  if (std::binary_search(names.files.begin(), names.files.end(), name)) return Attr{Kind::File, std::nullopt};
  if (std::binary_search(names.dirs.begin(), names.dirs.end(), name)) return Attr{Kind::Directory, std::nullopt};
  return Attr{Kind::Missing, std::nullopt};
}

void MetaCache::remember(const std::string& path, const Attr& attr) {
  if (ttl_.count() <= 0) return;
  std::lock_guard hold(mutex_);
  entries_[path] = Entry{attr, Clock::now() + ttl_};
}

void MetaCache::rememberListing(const std::string& dir, std::vector<std::string> files, std::vector<std::string> dirs) {
  if (ttl_.count() <= 0) return;
  std::sort(files.begin(), files.end());
  std::sort(dirs.begin(), dirs.end());
  std::lock_guard hold(mutex_);
  listings_[dir] = Listing{std::move(files), std::move(dirs), Clock::now() + ttl_};
}

void MetaCache::forget(const std::string& path) {
  std::lock_guard hold(mutex_);
  entries_.erase(path);
  listings_.erase(path);
  listings_.erase(korvex::parent_path(path));
  forgetBelow(path);
}

void MetaCache::forgetBelow(const std::string& path) {
  const std::string prefix = path == "/" ? "/" : path + "/";
  auto dropPrefixed = [&prefix](auto& map) {
    auto it = map.lower_bound(prefix);
    while (it != map.end() && it->first.compare(0, prefix.size(), prefix) == 0) it = map.erase(it);
  };
  dropPrefixed(entries_);
  dropPrefixed(listings_);
}

}  // namespace korvex::mount
