// The mount's local directories: the private cache directory, made for this
// mount and removed at its end, and the unsent directory. Both are absolute:
// the background process runs in /.
#pragma once

#include <filesystem>
#include <string>

#include "mount_options.h"

namespace korvex::mount {

// Sets options.unsentDir (`unsentDir`, or the user's cache) and makes
// options.cacheDir in `cacheParent` (or $TMPDIR, /tmp): 0, or the exit
// status after saying why not.
int makeLocalDirs(const std::string& unsentDir, const std::string& cacheParent, Options& options);

// Removes the cache directory of a mount that was never made.
void dropCacheDir(const std::filesystem::path& cacheDir);
// Removes the cache directory at the mount's end, unless `keep`: it holds written files that
// could not be sent nor moved.
void endCacheDir(const std::filesystem::path& cacheDir, bool keep);

}  // namespace korvex::mount
