// The directories made through this mount. A copying program (cp -a,
// rsync -a) sets a directory's mode once it has filled it; the phone keeps
// no modes, so such a directory takes any mode and ignores it, as a file
// being written does.
#pragma once

#include <mutex>
#include <set>
#include <string>

namespace korvex::mount {

class MadeDirs {
 public:
  void add(const std::string& path) {
    std::lock_guard hold(mutex_);
    paths_.insert(path);
  }
  bool contains(const std::string& path) {
    std::lock_guard hold(mutex_);
    return paths_.count(path) != 0;
  }
  // Removed or renamed: the path and everything below it.
  void forget(const std::string& path) {
    const std::string below = path + "/";
    std::lock_guard hold(mutex_);
    for (auto at = paths_.lower_bound(path); at != paths_.end();) {
      if (*at != path && at->compare(0, below.size(), below) != 0) break;
      at = paths_.erase(at);
    }
  }

 private:
  std::mutex mutex_;
  std::set<std::string> paths_;  // guarded by mutex_
};

}  // namespace korvex::mount
