// How many terminal columns a progress line's text takes, and names cut to
// a number of columns. Names arrive escaped (shown()), so on a UTF-8
// console they are valid UTF-8: a letter may take two columns (CJK, most
// emoji) or none (a combining accent), and a cut falls between letters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "text.h"

namespace korvex::cli {

// Columns a terminal gives `text`, which holds no control bytes.
std::size_t columnsOf(std::string_view text, ConsoleText console = kConsoleText);

// `text` in at most `room` columns: whole, or its start and end around an
// ellipsis, so a name keeps its extension.
std::string cutMiddle(std::string_view text, std::size_t room, ConsoleText console = kConsoleText);

// `text` in at most `room` columns: whole, or its start and an ellipsis.
std::string cutEnd(std::string_view text, std::size_t room, ConsoleText console = kConsoleText);

}  // namespace korvex::cli
