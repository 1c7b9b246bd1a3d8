// The shell's text: a line split into words as a POSIX shell splits simple
// words, phone paths resolved against the working directory, and what Tab
// adds to a line. Pure functions, so the tests need neither phone nor
// terminal.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvex::cli {

// A line scanned as far as it goes: single quotes keep everything, double
// quotes let a backslash escape only $ ` " and \, an unquoted backslash
// escapes any byte, and a '#' that starts a word starts a comment. No
// globbing, no variables.
struct ScannedLine {
  std::vector<std::string> words;
  char openQuote = 0;        // ' or " when the line ends inside quotes
  bool openEscape = false;   // the line ends in an unquoted backslash
  bool endsInWord = false;   // the last word runs up to the line's end
  std::size_t lastStart = 0; // where the last word starts in the line
};
ScannedLine scanLine(std::string_view line);

// The words of a complete line, or why it is not one.
struct SplitLine {
  std::vector<std::string> words;
  std::string error;
};
SplitLine splitLine(std::string_view line);

// `word` written so that splitLine reads it back as one word.
std::string quoteWord(std::string_view word);

// `path` against the working directory `directory` (absolute): "." and ".."
// taken out, a trailing '/' kept. An empty path stays empty.
std::string resolvePhonePath(std::string_view directory, std::string_view path);

// What Tab adds at the cursor, or the names to show when nothing can be
// added and several fit.
struct Completion {
  std::string insert;
  std::vector<std::string> choices;
};
// The names in a phone directory, a subdirectory's with a trailing '/';
// nothing when it cannot be listed.
using PhoneLister = std::function<std::optional<std::vector<std::string>>(const std::string& directory)>;
// Completes the word before the cursor: the first word from `commands`,
// later words of a command in `phoneCommands` as phone paths below
// `directory`.
Completion completeLine(std::string_view beforeCursor, const std::vector<std::string>& commands,
                        const std::vector<std::string>& phoneCommands, const std::string& directory,
                        const PhoneLister& list);

}  // namespace korvex::cli
