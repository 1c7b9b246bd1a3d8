#include "glob.h"

#include <cstdint>
#include <optional>

#include "text.h"

namespace korvex::cli {

namespace {

// A character: a code point, or a lone byte kept apart from the code points.
struct Char {
  std::uint32_t value;
  std::size_t length;
};

Char charAt(std::string_view text, std::size_t i) {
  const auto byte = static_cast<unsigned char>(text[i]);
  if (byte < 0x80) return {byte, 1};
  const std::size_t length = utf8Length(text, i);
  if (length == 0) return {0x110000u + byte, 1};
  std::uint32_t point = byte & (0x7Fu >> length);
  for (std::size_t k = 1; k < length; ++k) point = point << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
  return {point, length};
}

// A character of a pattern, a backslash taking the one after it as it is.
Char literalAt(std::string_view pattern, std::size_t i) {
  if (pattern[i] == '\\' && i + 1 < pattern.size()) {
    const Char next = charAt(pattern, i + 1);
    return {next.value, next.length + 1};
  }
  return charAt(pattern, i);
}

// The bracket expression at pattern[at] == '[': whether `c` is in its set,
// and its length; nothing when it has no closing ']'.
struct Bracket {
  bool matches;
  std::size_t length;
};

std::optional<Bracket> bracketAt(std::string_view pattern, std::size_t at, std::uint32_t c) {
  std::size_t i = at + 1;
  const bool negated = i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^');
  if (negated) ++i;
  bool found = false;
  for (bool first = true; i < pattern.size(); first = false) {
    if (pattern[i] == ']' && !first) return Bracket{found != negated, i + 1 - at};
    const Char low = literalAt(pattern, i);
    i += low.length;
    Char high = low;
    if (i + 1 < pattern.size() && pattern[i] == '-' && pattern[i + 1] != ']') {
      high = literalAt(pattern, i + 1);
      i += 1 + high.length;
    }
    found = found || (low.value <= c && c <= high.value);
  }
  return std::nullopt;
}

bool isWildcardAt(std::string_view pattern, std::size_t i) {
  return pattern[i] == '*' || pattern[i] == '?' || (pattern[i] == '[' && bracketAt(pattern, i, 0).has_value());
}

}  // namespace

bool hasWildcard(std::string_view component) {
  for (std::size_t i = 0; i < component.size(); ++i) {
    if (component[i] == '\\') {
      ++i;
    } else if (isWildcardAt(component, i)) {
      return true;
    }
  }
  return false;
}

bool isPattern(std::string_view path) { return path.find_first_of("*?[") != std::string_view::npos; }

std::string unescaped(std::string_view component) {
  std::string name;
  for (std::size_t i = 0; i < component.size(); ++i) {
    if (component[i] == '\\' && i + 1 < component.size()) ++i;
    name += component[i];
  }
  return name;
}

bool globMatch(std::string_view pattern, std::string_view name) {
  // A leading '.' is matched only by a '.' in the pattern.
  if (!name.empty() && name[0] == '.') {
    const bool spelled = !pattern.empty() && (pattern[0] == '.' || (pattern.starts_with("\\.")));
    if (!spelled) return false;
  }
  // The usual walk with one point to return to: the last '*' and the name
  // position it has swallowed up to.
  std::size_t p = 0, n = 0;
  std::optional<std::size_t> starP;
  std::size_t starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = ++p;
      starN = n;
      continue;
    }
    const Char c = charAt(name, n);
    if (p < pattern.size()) {
      if (pattern[p] == '?') {
        ++p, n += c.length;
        continue;
      }
      if (pattern[p] == '[') {
        if (const auto bracket = bracketAt(pattern, p, c.value)) {
          if (bracket->matches) {
            p += bracket->length, n += c.length;
            continue;
          }
        } else if (c.value == '[') {
          ++p, n += c.length;
          continue;
        }
      } else {
        const Char want = literalAt(pattern, p);
        if (want.value == c.value) {
          p += want.length, n += c.length;
          continue;
        }
      }
    }
    if (!starP) return false;
    // Let the last '*' swallow one more character and try again from there.
    starN += charAt(name, starN).length;
    p = *starP;
    n = starN;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace korvex::cli
