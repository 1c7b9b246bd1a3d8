// Phone path arguments with wildcards, expanded against the phone's
// listings: one batched listing per directory from the first component with
// a wildcard on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "korvex.hpp"

namespace korvex::cli {

struct PhoneMatch {
  std::string path;
  std::string relative;  // below the components before the first wildcard
  bool isDirectory = false;
  std::int64_t size = -1;  // a file's size as listed; -1 when not told
};

// Whether a component of `path` holds a wildcard.
bool hasWildcards(const std::string& path);

// The phone paths `pattern` names, sorted by name component by component. A
// path that is no pattern (glob.h) is returned as it is, unchecked, with
// itself as `relative`. Throws a Failure naming `command`: kRefused when
// nothing matches, kBroken when the connection is lost.
std::vector<PhoneMatch> expandPhonePattern(const korvex::Session& phone, const std::string& command,
                                           const std::string& pattern);

// Each argument's matches in turn.
std::vector<std::string> expandPhonePaths(const korvex::Session& phone, const std::string& command,
                                          const std::vector<std::string>& arguments);

}  // namespace korvex::cli
