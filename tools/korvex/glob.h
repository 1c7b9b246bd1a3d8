// Patterns on phone paths, matched by the client against listings, since
// the phone only ever answers about exact paths.
#pragma once

#include <string>
#include <string_view>

namespace korvex::cli {

// Whether one path component holds an unescaped '*', '?' or '['.
bool hasWildcard(std::string_view component);

// Whether a path is to be read as a pattern at all: one without '*', '?' or
// '[' (escaped or not) is an exact path, its backslashes plain characters.
bool isPattern(std::string_view path);

// A component without wildcards as the name it stands for: each backslash
// gives the next character as it is.
std::string unescaped(std::string_view component);

// Whether `name` (one component) matches `pattern`, as a POSIX shell
// matches file names: '*' any run of characters, '?' one character,
// "[a-z]" one of a set ('!' or '^' first negates it, ']' first is a member),
// '\' the next character as it is. None of them matches a leading '.',
// which the pattern must spell out. A '[' without its ']' is itself.
// Characters are UTF-8 sequences; a byte that is not one is a character.
bool globMatch(std::string_view pattern, std::string_view name);

}  // namespace korvex::cli
