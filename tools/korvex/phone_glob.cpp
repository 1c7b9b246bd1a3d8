#include "phone_glob.h"

#include <algorithm>
#include <utility>

#include "failure.h"
#include "glob.h"
#include "korvex.hpp"

namespace korvex::cli {

namespace {

std::vector<std::string> components(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

}  // namespace

bool hasWildcards(const std::string& path) {
  const std::vector<std::string> parts = components(path);
  return std::any_of(parts.begin(), parts.end(), [](const std::string& part) { return hasWildcard(part); });
}

std::vector<PhoneMatch> expandPhonePattern(const korvex::Session& phone, const std::string& command,
                                           const std::string& pattern) {
  if (!isPattern(pattern)) return {{pattern, pattern, false, -1}};
  const std::vector<std::string> parts = components(pattern);
  const auto wild = std::find_if(parts.begin(), parts.end(), [](const std::string& part) { return hasWildcard(part); });
  // The fixed start is joined as it is; from the first wildcard on, every
  // component is looked up in its directory's listing, so that what is
  // returned exists.
  std::string fixed = pattern.starts_with("/") ? "/" : "";
  for (auto part = parts.begin(); part != wild; ++part) fixed = korvex::join_path(fixed, unescaped(*part));
  if (wild == parts.end()) return {{fixed, fixed, false, -1}};

  std::vector<PhoneMatch> found{{fixed.empty() ? std::string(".") : fixed, "", true, -1}};
  for (auto part = wild; part != parts.end(); ++part) {
    const bool last = part + 1 == parts.end();
    const bool wildcard = hasWildcard(*part);
    const std::string name = wildcard ? std::string() : unescaped(*part);
    std::vector<PhoneMatch> next;
    for (const PhoneMatch& directory : found) {
      const auto listed = korvex::tree_names(phone, directory.path);
      if (!listed) {
        if (listed.error() == korvex::Errc::connection_lost) {
          throw Failure{kBroken, command + ": " + pattern + ": the connection to the phone was lost"};
        }
        continue;  // not a directory, or not one that can be listed: no match below it
      }
      std::vector<PhoneMatch> here;
      for (const korvex::TreeName& item : *listed) {
        if (!last && !item.is_directory) continue;
        if (wildcard ? !globMatch(*part, item.name) : item.name != name) continue;
        const std::string relative = directory.relative.empty() ? item.name : directory.relative + "/" + item.name;
        here.push_back({korvex::join_path(directory.path, item.name), relative, item.is_directory, item.size});
      }
      std::sort(here.begin(), here.end(), [](const PhoneMatch& a, const PhoneMatch& b) { return a.path < b.path; });
      std::move(here.begin(), here.end(), std::back_inserter(next));
    }
    found = std::move(next);
    if (found.empty()) break;
  }
  if (found.empty()) throw Failure{kRefused, command + ": " + pattern + ": no match"};
  return found;
}

std::vector<std::string> expandPhonePaths(const korvex::Session& phone, const std::string& command,
                                          const std::vector<std::string>& arguments) {
  std::vector<std::string> paths;
  for (const std::string& argument : arguments) {
    for (PhoneMatch& match : expandPhonePattern(phone, command, argument)) paths.push_back(std::move(match.path));
  }
  return paths;
}

}  // namespace korvex::cli
