#include "phone_tree.h"

namespace korvex::cli {

namespace {

void splitName(const std::string& name, bool isDirectory, std::vector<PhoneListed>& listed) {
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t slash = name.find('/', start);
    if (slash == std::string::npos) slash = name.size();
    const std::string piece = name.substr(start, slash - start);
    if (!piece.empty() && piece != "." && piece != "..") listed.push_back({piece, isDirectory, -1});
    start = slash + 1;
  }
}

}  // namespace

korvex::Result<std::vector<PhoneListed>> listPhoneDirectory(const korvex::Session& phone, const std::string& path) {
  const auto entries = phone.listing(path);
  if (!entries) return entries.reason();
  std::vector<PhoneListed> listed;
  listed.reserve(entries->size());
  for (const korvex::Session::Entry& entry : *entries) {
    if (entry.name.find('/') != std::string::npos) {
      // The separate listings join names with '/', so such a name always
      // read as several; it still does, each asked about on its own.
      splitName(entry.name, entry.is_directory, listed);
      continue;
    }
    // The one size that reads as a refusal when asked alone stays unknown,
    // as it always showed.
    const bool told = !entry.is_directory && entry.sized && entry.size != 0xFFFFFFFFu;
    listed.push_back({entry.name, entry.is_directory, told ? std::int64_t{entry.size} : -1});
  }
  return listed;
}

namespace {

void walk(const korvex::Session& phone, const std::string& path, const std::string& prefix, std::size_t depth,
          PhoneTreeVisitor& visitor) {
  const auto listed = listPhoneDirectory(phone, path);
  if (!listed) {
    visitor.unlisted(path, depth);
    return;
  }
  const std::size_t count = listed->size();
  std::size_t seen = 0;
  // Subdirectories come first, so each is walked before the files are visited.
  for (const PhoneListed& item : *listed) {
    if (!item.isDirectory) continue;
    const PhoneEntry entry{path, item.name, prefix + item.name, true, ++seen == count, depth};
    if (visitor.enter(entry)) walk(phone, entry.path(), entry.relative + "/", depth + 1, visitor);
  }
  for (const PhoneListed& item : *listed) {
    if (item.isDirectory) continue;
    visitor.file({path, item.name, prefix + item.name, false, ++seen == count, depth, item.size});
  }
}

}  // namespace

void walkPhoneTree(const korvex::Session& phone, const std::string& root, PhoneTreeVisitor& visitor) {
  walk(phone, root, "", 0, visitor);
}

}  // namespace korvex::cli
