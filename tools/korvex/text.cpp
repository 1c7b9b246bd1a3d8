#include "text.h"

#include <cstdint>
#include <cstdio>

namespace korvex::cli {

std::size_t utf8Length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length;
  std::uint32_t point;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, point = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, point = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    point = point << 6 | (byte(i + k) & 0x3F);
  }
  const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (point < least[length] || (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF) return 0;
  return length;
}

namespace {

void octal(std::string& out, unsigned char c) {
  char escaped[5];
  std::snprintf(escaped, sizeof escaped, "\\%03o", c);
  out += escaped;
}

}  // namespace

std::string shown(std::string_view text, ConsoleText console) {
  const bool utf8 = console == ConsoleText::utf8;
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80 && utf8) {
      const std::size_t length = utf8Length(text, i);
      // U+0080..U+009F are C2 80..C2 9F.
      const bool c1 = length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
      if (length == 0 || c1) {
        for (std::size_t k = 0; k < (c1 ? 2 : 1); ++k) octal(out, static_cast<unsigned char>(text[i + k]));
        i += c1 ? 2 : 1;
      } else {
        out.append(text.substr(i, length));
        i += length;
      }
      continue;
    }
    switch (c) {
      case '\\': out += utf8 ? "\\\\" : "\\"; break;
      case '\a': out += "\\a"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\v': out += "\\v"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          octal(out, c);
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  return out;
}

}  // namespace korvex::cli
