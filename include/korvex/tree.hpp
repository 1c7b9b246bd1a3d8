// The one walk of a phone tree, for every host: the listing each directory
// reads as, and a depth-first walk that tells a visitor what it finds. The
// CLI's ls -R, tree, get -r and sync, and Session::walk() are built on it.
// Part of korvex.hpp; session.hpp includes it before Session is complete,
// hence the templates over the session type.
#ifndef KORVEX_TREE_HPP
#define KORVEX_TREE_HPP

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "korvex/errors.hpp"
#include "korvex/paths.hpp"

namespace korvex {

// One name of a directory as the walk reads it.
struct TreeName {
  std::string name;
  bool is_directory = false;
  std::int64_t size = -1;  // a file's listed size; -1 when the listing did not tell it
};

// A directory's names: Session::listing(), its subdirectories then its files
// in the phone's order. A name holding '/' reads as the several names that
// the plain listings (which join names with '/') would give, so that a phone
// answers the same either way (empty pieces, "." and ".." left out). The one
// size that reads as a refusal when asked alone stays unknown.
template <class Phone>
Result<std::vector<TreeName>> tree_names(const Phone& phone, std::string_view path) {
  const auto entries = phone.listing(path);
  if (!entries) return entries.reason();
  std::vector<TreeName> names;
  names.reserve(entries->size());
  for (const auto& entry : *entries) {
    const bool told = !entry.is_directory && entry.sized && entry.size != 0xFFFFFFFFu;
    const std::int64_t size = told ? std::int64_t{entry.size} : -1;
    const std::string_view name = entry.name;
    if (name.find('/') == name.npos) {
      names.push_back({entry.name, entry.is_directory, size});
      continue;
    }
    for (std::size_t start = 0; start <= name.size();) {
      std::size_t slash = name.find('/', start);
      if (slash == name.npos) slash = name.size();
      const std::string_view piece = name.substr(start, slash - start);
      if (piece != "" && piece != "." && piece != "..") names.push_back({std::string(piece), entry.is_directory, -1});
      start = slash + 1;
    }
  }
  return names;
}

// One entry of a directory the walk listed.
struct TreeEntry {
  std::string directory;  // the listed directory, as the walk reached it
  std::string name;       // one name, as the phone listed it (never with '/')
  std::string relative;   // below the walk's root, '/' between the names
  bool is_directory = false;
  bool last = false;       // the last entry its directory lists
  std::size_t depth = 0;   // 0 for what the root holds
  std::int64_t size = -1;  // a file's listed size; -1 when not told

  std::string path() const { return join_path(directory, name); }
};

class TreeVisitor {
 public:
  virtual ~TreeVisitor() = default;
  // `path` could not be listed, for `why`; what it holds would have had
  // `depth` (0: the root itself). true goes on without it, false ends the walk.
  virtual bool unlisted(const std::string& path, std::size_t depth, const Reason& why) = 0;
  // A subdirectory, before what it holds; false leaves it unentered.
  virtual bool enter(const TreeEntry& directory) = 0;
  virtual void file(const TreeEntry& file) = 0;
};

// Lists several directories at once (on sessions of their own, say), one
// result per path, in order.
using TreeLister = std::function<std::vector<Result<std::vector<TreeName>>>(const std::vector<std::string>&)>;

namespace detail {

template <class Phone>
bool walk_listed(const Phone& phone, const std::string& path, const std::string& prefix, std::size_t depth,
                 TreeVisitor& visitor, const TreeLister& together, const Result<std::vector<TreeName>>& listed) {
  if (!listed) return visitor.unlisted(path, depth, listed.reason());
  const std::size_t count = listed->size();
  std::vector<std::string> below;
  if (together) {
    for (const TreeName& item : *listed) {
      if (item.is_directory) below.push_back(join_path(path, item.name));
    }
  }
  const std::vector<Result<std::vector<TreeName>>> early =
      below.empty() ? std::vector<Result<std::vector<TreeName>>>{} : together(below);
  std::size_t seen = 0, next = 0;
  // Subdirectories come first, so each is walked before the files are visited.
  for (const TreeName& item : *listed) {
    if (!item.is_directory) continue;
    const TreeEntry entry{path, item.name, prefix + item.name, true, ++seen == count, depth, -1};
    const std::size_t at = next++;
    if (!visitor.enter(entry)) continue;
    const std::string inner = entry.path();
    const bool more = at < early.size() ? walk_listed(phone, inner, entry.relative + "/", depth + 1, visitor,
                                                      together, early[at])
                                        : walk_listed(phone, inner, entry.relative + "/", depth + 1, visitor,
                                                      together, tree_names(phone, inner));
    if (!more) return false;
  }
  for (const TreeName& item : *listed) {
    if (!item.is_directory) visitor.file({path, item.name, prefix + item.name, false, ++seen == count, depth, item.size});
  }
  return true;
}

}  // namespace detail

// Lists `root` and each subdirectory the visitor enters, depth first: a
// directory's subdirectories, each followed by what is below it, then its
// files. false when the visitor ended the walk. With `together`, a
// directory's subdirectories are listed all at once before the first is
// entered (over a link, one round trip for them all instead of one each; one
// not entered is listed all the same); the visitor sees the same order.
template <class Phone>
bool walk_tree(const Phone& phone, std::string_view root, TreeVisitor& visitor, const TreeLister& together = {}) {
  const std::string path(root);
  return detail::walk_listed(phone, path, "", 0, visitor, together, tree_names(phone, path));
}

}  // namespace korvex

#endif  // KORVEX_TREE_HPP
