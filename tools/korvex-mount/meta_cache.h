// What the mount knows of the phone's paths, kept for a short time so that
// `ls -l` or a tree copy does not ask the phone the same question per call.
// Our own changes forget what they touch; changes made by others show once
// the entries expire.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace korvex::mount {

enum class Kind { Missing, File, Directory };

struct Attr {
  Kind kind = Kind::Missing;
  std::optional<std::uint32_t> size;  // files only; unknown when learnt from a listing
};

class MetaCache {
 public:
  using Clock = std::chrono::steady_clock;
  explicit MetaCache(std::chrono::milliseconds ttl) : ttl_(ttl) {}

  // What is known of the path: its own entry, or else its parent's listing
  // (which also tells that a name is missing).
  std::optional<Attr> find(const std::string& path);
  void remember(const std::string& path, const Attr& attr);
  void rememberListing(const std::string& dir, std::vector<std::string> files, std::vector<std::string> dirs);
  // Forgets the path, everything below it and its parent's listing.
  void forget(const std::string& path);

 private:
  struct Entry {
    Attr attr;
    Clock::time_point expires;
  };
  struct Listing {
    std::vector<std::string> files;  // sorted
    std::vector<std::string> dirs;   // sorted
    Clock::time_point expires;
  };
  void forgetBelow(const std::string& path);

  const std::chrono::milliseconds ttl_;
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;     // guarded by mutex_
  std::map<std::string, Listing> listings_;  // guarded by mutex_
};

}  // namespace korvex::mount
