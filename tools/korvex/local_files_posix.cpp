#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "korvex.hpp"
#include "local_files.h"

namespace korvex::cli {

LocalStatus localStatus(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return {LocalStatus::Kind::Missing, 0, errno};
  if (S_ISREG(info.st_mode)) return {LocalStatus::Kind::Regular, static_cast<std::int64_t>(info.st_size), 0};
  return {S_ISDIR(info.st_mode) ? LocalStatus::Kind::Directory : LocalStatus::Kind::Other, 0, 0};
}

int readableError(const std::string& path) {
  const int probe = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (probe < 0) return errno;
  close(probe);
  return 0;
}

int writableError(const std::string& path) { return access(path.c_str(), W_OK) == 0 ? 0 : errno; }

// Both are bytes here, whatever the locale.
std::filesystem::path localPathOf(const std::string& text) { return text; }
std::string localText(const std::filesystem::path& path) { return path.string(); }
std::optional<std::filesystem::path> localComponent(const std::string& phoneName) {
  if (!korvex::is_plain_name(phoneName)) return std::nullopt;
  return std::filesystem::path(phoneName);
}
std::string phoneText(const std::filesystem::path& relative) { return relative.generic_string(); }
std::string phoneArgument(const std::string& text) { return text; }

// Local and phone paths share the separator here.
std::string localName(const std::string& path) { return korvex::base_name(path); }

std::string createTemporaryFile(int& error) {
  const char* directory = std::getenv("TMPDIR");
  std::string pattern = std::string(directory && *directory ? directory : "/tmp") + "/korvex.XXXXXX";
  // mkstemp creates it with mode 0600.
  const int file = mkstemp(pattern.data());
  if (file < 0) {
    error = errno;
    return {};
  }
  close(file);
  return pattern;
}

}  // namespace korvex::cli
