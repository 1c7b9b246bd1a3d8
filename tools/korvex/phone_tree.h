// The one walk of a phone directory tree, shared by ls, tree and the plan of
// a recursive get.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "korvex.hpp"

namespace korvex::cli {

// One entry of a directory the walk listed.
struct PhoneEntry {
  std::string directory;  // the listed directory, as the walk reached it
  std::string name;       // as the phone listed it
  std::string relative;   // below the walk's root, '/' between the names
  bool isDirectory = false;
  bool last = false;      // the last entry its directory lists
  std::size_t depth = 0;  // 0 for what the root holds
  std::int64_t size = -1; // a file's size as listed; -1 when the listing did not tell it

  std::string path() const { return korvex::join_path(directory, name); }
};

// One entry of a phone directory, as listPhoneDirectory gives it.
struct PhoneListed {
  std::string name;
  bool isDirectory = false;
  std::int64_t size = -1;  // files; -1 when not told (ask the phone)
};

// A directory's subdirectories, then its files, in the phone's order: the
// host layer's listing (Session::listing), the files' sizes where it has
// them; a failure carries the reason it found.
korvex::Result<std::vector<PhoneListed>> listPhoneDirectory(const korvex::Session& phone, const std::string& path);

class PhoneTreeVisitor {
 public:
  virtual ~PhoneTreeVisitor() = default;
  // `path` could not be listed; what it holds would have had `depth` (0:
  // the root itself). The walk goes on without it, unless this throws.
  virtual void unlisted(const std::string& path, std::size_t depth) = 0;
  // A subdirectory, before what it holds; false leaves it unentered.
  virtual bool enter(const PhoneEntry& directory) = 0;
  virtual void file(const PhoneEntry& file) = 0;
};

// Lists `root` and each subdirectory the visitor enters: a directory's
// subdirectories first, each followed by what is below it, then its files,
// in the phone's order.
void walkPhoneTree(const korvex::Session& phone, const std::string& root, PhoneTreeVisitor& visitor);

}  // namespace korvex::cli
