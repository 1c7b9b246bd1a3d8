// Phone names are bytes: whatever the phone sends is shown for what it is,
// never passed to a terminal as something to do.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "korvex.hpp"

namespace korvex::cli {

// Length of the valid UTF-8 sequence at text[i] (no overlong form, no
// surrogate, nothing past U+10FFFF), or 0.
std::size_t utf8Length(std::string_view text, std::size_t i);

// How much a console is told in escapes. A UTF-8 terminal obeys C1 controls
// and should not be handed invalid UTF-8, and `\\` keeps escapes apart from
// names. A Windows console prints the ANSI code page, in which local paths
// arrive: there bytes from 0x80 are letters and '\' is the separator, so
// only C0 controls and DEL are escaped.
enum class ConsoleText { utf8, ansi };
// A host with Windows' name rules has Windows' console.
inline constexpr ConsoleText kConsoleText =
    korvex::kHostNameRules == korvex::NameRules::windows ? ConsoleText::ansi : ConsoleText::utf8;

// `text` as a terminal may print it, in the manner of `ls -b`: \a \b \f \n
// \r \t \v for those bytes, three octal digits (\033, \177) for every other
// control byte. For a UTF-8 console also \\ for the backslash, and octal for
// each byte of a C1 control (U+0080 to U+009F, which terminals obey as ESC
// sequences) or of invalid UTF-8. Everything else is kept as it is. Every
// name, path and message for a human goes through this once, just before it
// is printed.
std::string shown(std::string_view text, ConsoleText console = kConsoleText);

}  // namespace korvex::cli
