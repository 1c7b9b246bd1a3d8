// Phone names are bytes: whatever the phone sends is shown for what it is,
// never passed to a terminal as something to do.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvex::cli {

// Length of the valid UTF-8 sequence at text[i] (no overlong form, no
// surrogate, nothing past U+10FFFF), or 0.
std::size_t utf8Length(std::string_view text, std::size_t i);

// `text` as a terminal may print it, in the manner of `ls -b`: \a \b \f \n
// \r \t \v and \\ for those bytes and the backslash, three octal digits
// (\033, \177) for every other control byte, and for each byte of a C1
// control (U+0080 to U+009F, which terminals obey as ESC sequences) or of
// invalid UTF-8. Everything else is kept as it is. Every name, path and
// message for a human goes through this once, just before it is printed.
std::string shown(std::string_view text);

}  // namespace korvex::cli
