// Phone paths and names as the browser sends them. Nothing from a request
// reaches the phone before it passes here: a path is absolute with no empty,
// "." or ".." component, and a new name is one plain component. Pure text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "korvex.hpp"

namespace korvex::web {

// `text` as a phone path ("/" or "/a/b", one trailing slash dropped);
// nothing when it is relative, has an empty, "." or ".." component, a NUL,
// or is longer than `limit`.
std::optional<std::string> browserPath(std::string_view text, std::size_t limit = korvex::kMaxPath);

// `name` inside `directory` (a browserPath), when the name is plain (the
// rule the command line applies: no separator, not "." or "..", no control
// byte) and the result fits `limit`.
std::optional<std::string> childPath(const std::string& directory, std::string_view name,
                                     std::size_t limit = korvex::kMaxPath);

}  // namespace korvex::web
