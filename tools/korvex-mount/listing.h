// A phone directory's listing as the mount shows it. A phone's name is one
// component here, never a path: "a\\b" or a name carrying terminal escapes
// is left out, and logged once per directory. The phone's own "." and ".."
// give way to the mount's without a word. A listing comes in one batch with
// each file's size; a directory whose batch is refused is listed by names
// alone, its sizes asked for one by one later.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "meta_cache.h"

namespace korvex {
class Session;
}

namespace korvex::mount {

class Phone;

// Directories first, then files; sizes unknown when listed by names alone.
using Listing = std::vector<NamedAttr>;

class Listings {
 public:
  // Asks the phone for the directory's subdirectories and files (the host
  // layer's listing: the batch with sizes, or the names alone where the
  // phone refuses it): 0, or the errno its refusal means.
  int fetch(Phone& phone, const std::string& path, Listing& out);

 private:
  // Adds the entry when its name is plain; logs it otherwise.
  void keepPlain(const std::string& dir, std::string name, const Attr& attr, Listing& out);
  void refused(const std::string& dir, const std::string& name);

  std::mutex refusedMutex_;
  std::set<std::string> refused_;  // guarded by refusedMutex_: directory, NUL, name
};

}  // namespace korvex::mount
