#include "listing.h"

#include <cerrno>

#include "korvex.hpp"
#include "note.h"
#include "phone.h"
#include "refusal.h"

namespace korvex::mount {

int Listings::fetch(Phone& phone, const std::string& path, Listing& out) {
  const SessionRef session = phone.session();
  if (!session) return -EIO;
  korvex::Result<std::vector<std::string>> files = session->files(path);
  if (!files) return listingRefusal(*session, path);
  korvex::Result<std::vector<std::string>> dirs = session->directories(path);
  if (!dirs) return listingRefusal(*session, path);
  out.files = plainNames(path, std::move(*files));
  out.dirs = plainNames(path, std::move(*dirs));
  return 0;
}

std::vector<std::string> Listings::plainNames(const std::string& dir, std::vector<std::string> names) {
  std::vector<std::string> kept;
  for (std::string& name : names) {
    if (korvex::is_plain_name(name)) {
      kept.push_back(std::move(name));
    } else {
      refused(dir, name);
    }
  }
  return kept;
}

void Listings::refused(const std::string& dir, const std::string& name) {
  {
    std::lock_guard hold(refusedMutex_);
    if (!refused_.insert(dir + '\0' + name).second) return;
  }
  note("%s: the phone lists \"%s\", which is not a plain name: left out", dir.c_str(), escapedName(name).c_str());
}

}  // namespace korvex::mount
