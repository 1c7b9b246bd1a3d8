// What stat shows of a phone path. The phone tells only a path's kind and a
// file's size: owner, modes and times are the mount's own (whoever mounted
// it, the modes the umask leaves, the time it was mounted).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "meta_cache.h"

namespace korvex::mount {

class Phone;

// The block size shown by stat and statfs.
constexpr std::uint32_t kBlockSize = 128 * 1024;

class Attributes {
 public:
  Attributes(Phone& phone, MetaCache& meta);

  // The phone's answer for a path, from the cache when it is fresh.
  int lookup(const std::string& path, Attr& out);
  void fill(const Attr& attr, struct stat* st) const;
  // The mode shown for that kind of path.
  mode_t modeOf(Kind kind) const { return kind == Kind::Directory ? dirMode_ : fileMode_; }

 private:
  Phone& phone_;
  MetaCache& meta_;
  const time_t mountTime_;
  const uid_t uid_;
  const gid_t gid_;
  mode_t fileMode_ = 0644;
  mode_t dirMode_ = 0755;
};

}  // namespace korvex::mount
