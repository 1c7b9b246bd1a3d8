// A download read while the library still writes it. The library writes a
// download into a temporary file beside its destination and renames it into
// place at the end, so the destination is given a directory of its own: the
// one file in it is the download, under either name, and an open stream
// follows it through the rename.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>

namespace korvex::web {

class GrowingFile {
 public:
  explicit GrowingFile(std::filesystem::path directory) : directory_(std::move(directory)) {}

  // Up to `size` bytes at `offset`, as far as they are written now: how
  // many were read (0: none yet, or the file is not there yet).
  std::size_t readAt(std::uint64_t offset, char* buffer, std::size_t size);

 private:
  bool open();

  std::filesystem::path directory_;
  std::ifstream in_;
};

}  // namespace korvex::web
