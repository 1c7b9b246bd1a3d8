// Where the shell's lines come from: a terminal with line editing, history
// and Tab completion when the client is built with libedit, otherwise plain
// lines from a stream.
#pragma once

#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "shell_text.h"

namespace korvex::cli {

class LineReader {
 public:
  virtual ~LineReader() = default;
  // The next line without its end, after showing `prompt`; nothing at the
  // end of the input.
  virtual std::optional<std::string> read(const std::string& prompt) = 0;
};

// What Tab adds, given the line up to the cursor.
using Completer = std::function<Completion(std::string_view beforeCursor)>;

// Lines typed on the terminal of standard input.
std::unique_ptr<LineReader> terminalReader(Completer completer);
// Lines of a stream (a batch file, a pipe), no prompt shown.
std::unique_ptr<LineReader> streamReader(std::istream& in);

}  // namespace korvex::cli
