// What the mount is asked for on its command line, once it is checked.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>

namespace korvex::mount {

struct Options {
  std::chrono::milliseconds attrTimeout{1000};
  std::chrono::milliseconds startTimeout{10000};  // a copy's own connection and login
  std::uint64_t cacheBytes = std::uint64_t{2048} << 20;
  int copies = 4;
  std::filesystem::path cacheDir;  // private, created by the caller, removed at unmount
  // Where written files the phone did not confirm are kept (made when needed).
  std::filesystem::path unsentDir;
};

}  // namespace korvex::mount
