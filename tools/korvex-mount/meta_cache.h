// What the mount knows of the phone's paths, kept for a short time so that
// `ls -l` or a tree copy does not ask the phone the same question per call.
// Our own changes forget what they touch; changes made by others show once
// the entries expire.
#pragma once

#include <atomic>
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
  std::optional<std::uint32_t> size;  // files only; unknown when learnt from a names-only listing
  // Which answer of the phone this is, 0 for none: an answer kept in the
  // cache keeps its stamp until it expires.
  std::uint64_t seen = 0;
};

// A name in a directory and what the listing told of it.
struct NamedAttr {
  std::string name;
  Attr attr;
};

class MetaCache {
 public:
  using Clock = std::chrono::steady_clock;
  explicit MetaCache(std::chrono::milliseconds ttl) : ttl_(ttl) {}

  // What is known of the path: its own entry, or else its parent's listing
  // (which also tells that a name is missing).
  std::optional<Attr> find(const std::string& path);
  // Stamps the phone's answer and keeps it.
  void remember(const std::string& path, Attr& attr);
  // Stamps the entries, one stamp for the listing, and keeps them.
  void rememberListing(const std::string& dir, std::vector<NamedAttr>& entries);
  // Forgets the path, everything below it and its parent's listing.
  void forget(const std::string& path);
  // A change of our own whose outcome the phone confirmed (a directory
  // made, a file's size after its upload): the path's answer, and its name
  // in the parent's listing when one is kept, say so at once; what was
  // below it is forgotten. Keeping the listing lets a tree copied in find
  // its next names missing without asking the phone.
  void learn(const std::string& path, Attr attr);

  // The kernel's pages of a file hold what was read of it under `seen`;
  // they are still good while the path's answer carries that stamp.
  void markRead(const std::string& path, std::uint64_t seen);
  bool readUnder(const std::string& path, std::uint64_t seen);

 private:
  struct Entry {
    Attr attr;
    Clock::time_point expires;
  };
  struct Listing {
    std::vector<NamedAttr> entries;  // sorted by name
    Clock::time_point expires;
  };
  void forgetBelow(const std::string& path);

  const std::chrono::milliseconds ttl_;
  std::atomic<std::uint64_t> stamps_{0};
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;     // guarded by mutex_
  std::map<std::string, Listing> listings_;  // guarded by mutex_
  std::map<std::string, std::uint64_t> read_;  // guarded by mutex_
};

}  // namespace korvex::mount
