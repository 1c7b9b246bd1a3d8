// A phone directory's listing as the mount shows it. A phone's name is one
// component here, never a path: "a\\b" or a name carrying terminal escapes
// is left out, and logged once per directory. The phone's own "." and ".."
// give way to the mount's without a word.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace korvex::mount {

class Phone;

struct Listing {
  std::vector<std::string> files;
  std::vector<std::string> dirs;
};

class Listings {
 public:
  // Asks the phone for the directory's files and subdirectories: 0, or the
  // errno its refusal means.
  int fetch(Phone& phone, const std::string& path, Listing& out);

 private:
  // The names that are plain; the others are logged.
  std::vector<std::string> plainNames(const std::string& dir, std::vector<std::string> names);
  void refused(const std::string& dir, const std::string& name);

  std::mutex refusedMutex_;
  std::set<std::string> refused_;  // guarded by refusedMutex_: directory, NUL, name
};

}  // namespace korvex::mount
