// Confinement of phone paths to the served directory.
//
// A phone path is '/'-separated; "/" and "" name the root, a leading '/' is
// optional, empty and "." components are dropped. Any ".." component is refused
// outright, so no path can climb, even one that would come back inside. Symbolic
// links are resolved by the kernel relative to the root and may not leave it.
#pragma once

#include <cerrno>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fd.h"

namespace korvexd {

enum class Resolver {
  Auto,     // openat2 when the kernel has it, else Walk
  Openat2,  // openat2(RESOLVE_BENEATH): symlinks followed while they stay inside
  Walk,     // one openat(O_NOFOLLOW) per component: every symlink is refused
};

// The errno a refused path reports: a ".." component, or a symlink leading out.
constexpr int kEscapeError = EXDEV;
// The errno of a create refused because the name is one the service keeps
// for itself (see file_ops.h).
constexpr int kReservedNameError = ENOTUNIQ;

// Splits `path` into its components; false when one of them is "..".
bool splitPhonePath(std::string_view path, std::vector<std::string_view>& parts);

// Log text for an error from this file or from the file operations.
const char* describePathError(int error);

class Root {
 public:
  // Opens `dir` as the root. Openat2 fails when the kernel lacks it.
  static std::optional<Root> open(const std::string& dir, Resolver how, int& error);

  Resolver resolver() const { return how_; }

  // Opens the file or directory at `path` with open(2) `flags`; O_CLOEXEC and
  // O_NOCTTY are added. An invalid Fd and `error` on failure.
  Fd open(std::string_view path, int flags, int& error) const;

  // Opens the directory holding `path`'s last component (O_PATH) and stores that
  // component in `name`, for the *at calls that must not follow it. `name` is
  // empty when `path` is the root itself.
  Fd openParent(std::string_view path, std::string& name, int& error) const;

 private:
  Root(Fd dir, Resolver how) : dir_(std::move(dir)), how_(how) {}
  Fd openParts(const std::vector<std::string_view>& parts, int flags, int& error) const;

  Fd dir_;
  Resolver how_;
};

}  // namespace korvexd
