// Bounds, local path text, plain names and phone path helpers: plain
// values, no network. Part of korvex.hpp.
#ifndef KORVEX_PATHS_HPP
#define KORVEX_PATHS_HPP

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "korvex.h"

namespace korvex {

// Longest phone paths the library sends (a rename's destination: 254), and
// the longest password it logs in with.
inline constexpr std::size_t kMaxPath = KORVEX_MAX_PATH;
inline constexpr std::size_t kMaxRenameDest = KORVEX_MAX_RENAME_DEST;
inline constexpr std::size_t kMaxPassword = KORVEX_MAX_PASSWORD;

// A local path as the library takes it: text in the native narrow encoding
// (the ANSI code page on Windows), passed on unchanged, or a
// std::filesystem::path, narrowed with path::string(). Text never goes
// through a path on its way, since a round trip through the wide form need
// not give the same bytes back on Windows.
class LocalPath {
 public:
  LocalPath(const char* text) : text_(text) {}                        // NOLINT: implicit by design
  LocalPath(std::string text) : text_(std::move(text)) {}            // NOLINT
  LocalPath(std::string_view text) : text_(text) {}                  // NOLINT
  LocalPath(const std::filesystem::path& path) : text_(path.string()) {}  // NOLINT
  const char* c_str() const { return text_.c_str(); }
  // As std::filesystem reads the same text (the ANSI code page on Windows).
  std::filesystem::path path() const { return std::filesystem::path(text_); }

 private:
  std::string text_;
};

// Which file system a local name is checked for.
enum class NameRules { posix, windows };
#ifdef _WIN32
inline constexpr NameRules kHostNameRules = NameRules::windows;
#else
inline constexpr NameRules kHostNameRules = NameRules::posix;
#endif

// Whether a name from a listing can be used as one component of a local path
// without reaching outside the folder it is put in: a phone may send "..",
// "a/b" or "..\x". Everywhere: not empty, "." or "..", and no '/', '\',
// NUL or control byte. Windows also refuses :*?"<>|, a trailing dot or space
// and the device names (CON, NUL, COM1... with any extension). Check the
// name in the encoding the file will be opened with, after any conversion.
inline bool is_plain_name(std::string_view name, NameRules rules = kHostNameRules) {
  if (name.empty() || name == "." || name == "..") return false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '/' || c == '\\') return false;
    if (rules == NameRules::windows && std::string_view(":*?\"<>|").find(c) != std::string_view::npos) return false;
  }
  if (rules == NameRules::posix) return true;
  if (name.back() == '.' || name.back() == ' ') return false;
  std::string stem(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (stem == device) return false;
  }
  const bool numbered = stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
                        stem[3] >= '0' && stem[3] <= '9';
  return !numbered;
}

// Phone paths are '/'-separated text. These split and join them without
// asking the phone.
// `name` inside `directory` ("" + "a" -> "a", "/" + "a" -> "/a").
inline std::string join_path(std::string_view directory, std::string_view name) {
  std::string joined(directory);
  if (!joined.empty() && joined.back() != '/') joined += '/';
  return joined.append(name);
}
// The directory part ("/a/b" -> "/a", "/a" -> "/", "a" -> "").
inline std::string parent_path(std::string_view path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string_view::npos) return {};
  return slash == 0 ? "/" : std::string(path.substr(0, slash));
}
// The last component, trailing slashes ignored ("/a/b/" -> "b", "/" -> "").
inline std::string base_name(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.find_last_of('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace korvex

#endif  // KORVEX_PATHS_HPP
