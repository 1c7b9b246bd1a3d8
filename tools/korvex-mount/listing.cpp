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
  korvex::Result<std::vector<korvex::Session::Entry>> entries = session->listing(path);
  if (!entries) return errnoOf(entries.error());
  out.clear();
  out.reserve(entries->size());
  for (korvex::Session::Entry& entry : *entries) {
    const std::optional<std::uint32_t> size =
        entry.sized ? std::optional<std::uint32_t>(entry.size) : std::nullopt;
    const Attr attr = entry.is_directory ? Attr{Kind::Directory, std::nullopt} : Attr{Kind::File, size};
    keepPlain(path, std::move(entry.name), attr, out);
  }
  return 0;
}

void Listings::keepPlain(const std::string& dir, std::string name, const Attr& attr, Listing& out) {
  if (korvex::is_plain_name(name)) {
    out.push_back(NamedAttr{std::move(name), attr});
  } else {
    refused(dir, name);
  }
}

void Listings::refused(const std::string& dir, const std::string& name) {
  {
    std::lock_guard hold(refusedMutex_);
    if (!refused_.insert(dir + '\0' + name).second) return;
  }
  note("%s: the phone lists \"%s\", which is not a plain name: left out", dir.c_str(), escapedName(name).c_str());
}

}  // namespace korvex::mount
