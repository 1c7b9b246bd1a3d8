#include "browser_paths.h"

namespace korvex::web {

std::optional<std::string> browserPath(std::string_view text, std::size_t limit) {
  if (text.empty() || text.front() != '/' || text.find('\0') != std::string_view::npos) return std::nullopt;
  if (text.size() > 1 && text.back() == '/') text.remove_suffix(1);
  if (text.size() > limit) return std::nullopt;
  if (text == "/") return std::string(text);
  std::size_t start = 1;
  while (start <= text.size()) {
    std::size_t end = text.find('/', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view component = text.substr(start, end - start);
    if (component.empty() || component == "." || component == "..") return std::nullopt;
    start = end + 1;
  }
  return std::string(text);
}

std::optional<std::string> childPath(const std::string& directory, std::string_view name, std::size_t limit) {
  // The phone's file system is POSIX-like whatever the host is.
  if (!korvex::is_plain_name(name, korvex::NameRules::posix)) return std::nullopt;
  std::string joined = korvex::join_path(directory, name);
  if (joined.size() > limit) return std::nullopt;
  return joined;
}

}  // namespace korvex::web
