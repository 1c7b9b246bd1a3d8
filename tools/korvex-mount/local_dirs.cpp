#include "local_dirs.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "exit_status.h"
#include "note.h"

namespace korvex::mount {
namespace {

// $XDG_CACHE_HOME/korvex-mount/unsent, else ~/.cache/korvex-mount/unsent.
std::filesystem::path defaultUnsentDir() {
  std::filesystem::path base;
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache && *cache == '/') {
    base = cache;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
      const passwd* entry = getpwuid(getuid());
      home = entry ? entry->pw_dir : nullptr;
    }
    if (!home || !*home) return {};
    base = std::filesystem::path(home) / ".cache";
  }
  return base / "korvex-mount" / "unsent";
}

int findUnsentDir(const std::string& given, std::filesystem::path& unsent) {
  unsent = given.empty() ? defaultUnsentDir() : std::filesystem::path(given);
  if (unsent.empty()) return fail(kUsage, "no home directory: give --unsent-dir");
  std::error_code error;
  unsent = std::filesystem::absolute(unsent, error);
  if (error) return fail(kLocalFile, "--unsent-dir: " + error.message());
  return 0;
}

int makeCacheDir(const std::string& given, std::filesystem::path& cacheDir) {
  std::filesystem::path parent = given;
  if (parent.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    parent = tmp && *tmp ? tmp : "/tmp";
  }
  std::error_code error;
  parent = std::filesystem::absolute(parent, error);
  std::string made = (parent / "korvex-mount-XXXXXX").string();
  if (error || !mkdtemp(made.data())) {
    return fail(kLocalFile, "cache directory in " + parent.string() + ": " + std::strerror(errno));
  }
  cacheDir = made;
  return 0;
}

}  // namespace

int makeLocalDirs(const std::string& unsentDir, const std::string& cacheParent, Options& options) {
  if (const int error = findUnsentDir(unsentDir, options.unsentDir)) return error;
  return makeCacheDir(cacheParent, options.cacheDir);
}

void dropCacheDir(const std::filesystem::path& cacheDir) {
  std::error_code ignored;
  std::filesystem::remove_all(cacheDir, ignored);
}

void endCacheDir(const std::filesystem::path& cacheDir, bool keep) {
  if (keep) {
    noteError("%s: kept: it holds written files that could not be sent nor moved", cacheDir.c_str());
    return;
  }
  std::error_code error;
  std::filesystem::remove_all(cacheDir, error);
  if (error) note("%s: not removed: %s", cacheDir.c_str(), error.message().c_str());
}

}  // namespace korvex::mount
