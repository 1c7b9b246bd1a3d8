// Local files as the copy commands see them before they hand a path to the
// library, and the local names that paths are split into and built from.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace korvex::cli {

struct LocalStatus {
  enum class Kind { Missing, Regular, Directory, Other };
  Kind kind = Kind::Missing;
  std::int64_t size = 0;  // of a regular file
  int error = 0;          // errno when it is Missing: absent, or cannot be looked at
};

// Follows symbolic links.
LocalStatus localStatus(const std::string& path);
// 0 when the file can be opened for reading, or its errno.
int readableError(const std::string& path);
// 0 when the file or directory can be written to, or its errno.
int writableError(const std::string& path);

// Local paths are handed around as the narrow text the C runtime and the
// library open files with; phone names are UTF-8. These convert between
// that text, std::filesystem paths and phone text.
std::filesystem::path localPathOf(const std::string& text);
std::string localText(const std::filesystem::path& path);
// A phone name from a listing as one component of a local path, or nothing
// when, in the local encoding, it is not a plain name (korvex::is_plain_name):
// a phone may list "..", "..\x" or a device name, and a name must never
// lead a copy out of the directory it is put in.
std::optional<std::filesystem::path> localComponent(const std::string& phoneName);
// A relative local path as phone text, '/' between the components.
std::string phoneText(const std::filesystem::path& relative);
// A phone path given on the command line, as phone text.
std::string phoneArgument(const std::string& text);

// The last component of a local path, as phone text; a root has none.
std::string localName(const std::string& path);

// A new empty file in the temporary directory that only the user may open;
// its path, or empty with the errno in `error`.
std::string createTemporaryFile(int& error);

}  // namespace korvex::cli
