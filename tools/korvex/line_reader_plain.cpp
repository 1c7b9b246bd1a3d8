// Plain lines; the terminal reader too when there is no line editing.
#include <cstdio>
#include <iostream>

#include "line_reader.h"

namespace korvex::cli {

namespace {

class StreamReader : public LineReader {
 public:
  StreamReader(std::istream& in, bool prompts) : in_(in), prompts_(prompts) {}
  std::optional<std::string> read(const std::string& prompt) override {
    if (prompts_) {
      std::fputs(prompt.c_str(), stdout);
      std::fflush(stdout);
    }
    std::string line;
    if (!std::getline(in_, line)) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }

 private:
  std::istream& in_;
  bool prompts_;
};

}  // namespace

std::unique_ptr<LineReader> streamReader(std::istream& in) { return std::make_unique<StreamReader>(in, false); }

#ifndef KORVEX_LINE_EDITING
std::unique_ptr<LineReader> terminalReader(Completer) { return std::make_unique<StreamReader>(std::cin, true); }
#endif

}  // namespace korvex::cli
