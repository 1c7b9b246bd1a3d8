// Just enough JSON for the --json output: one-line objects and arrays.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace korvex::cli {

// A quoted JSON string. Phone names are bytes: a byte that is not part of
// valid UTF-8 is written as the code point of the same value (\u00XX), so
// the output stays valid JSON. Every control character (C0, DEL and C1) is
// escaped too, so the output is also safe to print on a terminal.
std::string jsonString(std::string_view text);

class JsonObject {
 public:
  JsonObject& add(std::string_view key, std::string_view value) { return raw(key, jsonString(value)); }
  JsonObject& add(std::string_view key, const char* value) { return raw(key, jsonString(value)); }
  JsonObject& add(std::string_view key, std::int64_t value) { return raw(key, std::to_string(value)); }
  JsonObject& add(std::string_view key, bool value) { return raw(key, value ? "true" : "false"); }
  JsonObject& raw(std::string_view key, std::string_view json) {
    text_ += text_.size() > 1 ? "," : "";
    text_ += jsonString(key);
    text_ += ':';
    text_ += json;
    return *this;
  }
  std::string str() const { return text_ + "}"; }

 private:
  std::string text_ = "{";
};

}  // namespace korvex::cli
