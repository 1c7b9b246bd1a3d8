#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include "local_files.h"

namespace korvex::cli {

namespace {

constexpr std::string_view kSeparators = "/\\";

bool isDriveLetter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

}  // namespace

// _stat64: the plain stat has a 32-bit size. It finds no directory named
// with a trailing separator, except a root.
LocalStatus localStatus(const std::string& path) {
  std::string trimmed = path;
  while (!trimmed.empty() && kSeparators.find(trimmed.back()) != std::string_view::npos) trimmed.pop_back();
  if (trimmed.size() < path.size() && (trimmed.empty() || trimmed.back() == ':')) trimmed += '\\';
  struct _stat64 info {};
  if (_stat64(trimmed.c_str(), &info) != 0) return {LocalStatus::Kind::Missing, 0, errno};
  switch (info.st_mode & _S_IFMT) {
    case _S_IFREG:
      return {LocalStatus::Kind::Regular, static_cast<std::int64_t>(info.st_size), 0};
    case _S_IFDIR:
      return {LocalStatus::Kind::Directory, 0, 0};
    default:
      return {LocalStatus::Kind::Other, 0, 0};
  }
}

int readableError(const std::string& path) {
  std::FILE* probe = std::fopen(path.c_str(), "rb");
  if (probe == nullptr) return errno;
  std::fclose(probe);
  return 0;
}

int writableError(const std::string& path) { return _access(path.c_str(), 2) == 0 ? 0 : errno; }

// Both separators, and a drive prefix: "Z:\a\b\" and "Z:b" name "b"; "Z:\"
// and "\" name nothing.
std::string localName(const std::string& path) {
  std::string_view rest = path;
  if (rest.size() >= 2 && rest[1] == ':' && isDriveLetter(rest[0])) rest.remove_prefix(2);
  while (!rest.empty() && kSeparators.find(rest.back()) != std::string_view::npos) rest.remove_suffix(1);
  const std::size_t last = rest.find_last_of(kSeparators);
  return std::string(last == std::string_view::npos ? rest : rest.substr(last + 1));
}

// Besides the separators, ':' would pick a drive or a data stream, and the
// device names open the device whatever the extension or the directory.
bool fitsLocalName(const std::string& name) {
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || std::string_view("\\/:*?\"<>|").find(c) != std::string_view::npos) {
      return false;
    }
  }
  std::string stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  std::transform(stem.begin(), stem.end(), stem.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  static constexpr std::array<std::string_view, 4> kDevices{"CON", "PRN", "AUX", "NUL"};
  if (std::find(kDevices.begin(), kDevices.end(), stem) != kDevices.end()) return false;
  const bool numbered = stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
                        stem[3] >= '1' && stem[3] <= '9';
  return !numbered;
}

}  // namespace korvex::cli
