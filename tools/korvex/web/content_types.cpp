#include "content_types.h"

#include <cctype>

namespace korvex::web {

namespace {

struct KnownType {
  std::string_view extension;
  std::string_view type;
};
constexpr KnownType kTypes[] = {
    {"jpg", "image/jpeg"},  {"jpeg", "image/jpeg"},      {"png", "image/png"},       {"gif", "image/gif"},
    {"webp", "image/webp"}, {"bmp", "image/bmp"},        {"txt", "text/plain"},      {"log", "text/plain"},
    {"md", "text/plain"},   {"csv", "text/plain"},       {"pdf", "application/pdf"}, {"mp4", "video/mp4"},
    {"mp3", "audio/mpeg"},  {"zip", "application/zip"},  {"json", "application/json"},
    {"html", "text/html"},  {"htm", "text/html"},        {"svg", "image/svg+xml"},
    {"js", "text/javascript"}, {"css", "text/css"},      {"ico", "image/x-icon"},
};

std::string lowered(std::string_view text) {
  std::string low(text);
  for (char& c : low) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return low;
}

}  // namespace

std::string_view contentType(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return "application/octet-stream";
  const std::string extension = lowered(name.substr(dot + 1));
  for (const KnownType& known : kTypes) {
    if (known.extension == extension) return known.type;
  }
  return "application/octet-stream";
}

bool viewable(std::string_view type) {
  return type == "image/jpeg" || type == "image/png" || type == "image/gif" || type == "image/webp" ||
         type == "image/bmp" || type == "text/plain" || type == "application/pdf";
}

std::string contentDisposition(std::string_view disposition, std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string fallback, encoded;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    // RFC 5987 attr-char: letters, digits and !#$&+-.^_`|~ go as they are.
    const bool attrChar = std::isalnum(byte) || std::string_view("!#$&+-.^_`|~").find(c) != std::string_view::npos;
    if (attrChar && byte < 0x80) {
      encoded += c;
    } else {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 0xF];
    }
    // The quoted fallback keeps printable ASCII (quotes and backslashes
    // would end or escape it); any other character is one '_'.
    if ((byte & 0xC0) == 0x80) continue;  // the rest of a UTF-8 character
    fallback += byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\' ? c : '_';
  }
  return std::string(disposition) + "; filename=\"" + fallback + "\"; filename*=UTF-8''" + encoded;
}

}  // namespace korvex::web
