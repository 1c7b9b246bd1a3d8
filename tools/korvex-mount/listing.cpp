#include "listing.h"

#include <cerrno>
#include <string_view>

#include "korvex.h"
#include "korvex.hpp"
#include "note.h"
#include "phone.h"
#include "refusal.h"

namespace korvex::mount {
namespace {

// The library's listing: names separated by '/'.
std::vector<std::string> splitNames(const char* buffer, int length) {
  std::vector<std::string> names;
  std::string_view rest(buffer, static_cast<std::size_t>(length));
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view name = rest.substr(0, slash);
    if (!name.empty()) names.emplace_back(name);
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return names;
}

}  // namespace

int Listings::fetch(Phone& phone, const std::string& path, Listing& out) {
  SessionRef session = phone.session();
  if (!session) return -EIO;
  std::vector<std::string> lists[2];
  int (*listers[2])(SessionHandle, const char*, char**) = {&GetFiles, &GetDirectories};
  for (int i = 0; i < 2; ++i) {
    char* names = nullptr;
    const int length = listers[i](session, path.c_str(), &names);
    if (length < 0) return listingRefusal(phone, session, path);
    if (length > 0) {
      lists[i] = splitNames(names, length);
      FreeBuffer(names);
    }
  }
  for (int i = 0; i < 2; ++i) {
    std::vector<std::string> kept;
    for (std::string& name : lists[i]) {
      if (korvex::is_plain_name(name)) {
        kept.push_back(std::move(name));
      } else if (i == 0 || (name != "." && name != "..")) {
        refused(path, name);
      }
    }
    lists[i] = std::move(kept);
  }
  out.files = std::move(lists[0]);
  out.dirs = std::move(lists[1]);
  return 0;
}

void Listings::refused(const std::string& dir, const std::string& name) {
  {
    std::lock_guard hold(refusedMutex_);
    if (!refused_.insert(dir + '\0' + name).second) return;
  }
  note("%s: the phone lists \"%s\", which is not a plain name: left out", dir.c_str(), escapedName(name).c_str());
}

}  // namespace korvex::mount
