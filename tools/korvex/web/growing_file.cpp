#include "growing_file.h"

namespace korvex::web {

bool GrowingFile::open() {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory_, error)) {
    if (!entry.is_regular_file(error)) continue;
    in_.open(entry.path(), std::ios::binary);
    // Renamed between the listing and the open: look again next time.
    if (in_.is_open()) return true;
    in_.clear();
  }
  return false;
}

std::size_t GrowingFile::readAt(std::uint64_t offset, char* buffer, std::size_t size) {
  if (!in_.is_open() && !open()) return 0;
  // A read that met the end set eof and fail: the end moves on.
  in_.clear();
  in_.seekg(static_cast<std::streamoff>(offset));
  if (!in_) return 0;
  in_.read(buffer, static_cast<std::streamsize>(size));
  return static_cast<std::size_t>(in_.gcount());
}

}  // namespace korvex::web
