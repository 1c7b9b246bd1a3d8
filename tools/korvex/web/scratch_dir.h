// The server's private temporary directory: uploads wait there until they
// are complete, downloads pass through it. Removed with everything in it
// when the server ends.
#pragma once

#include <atomic>
#include <filesystem>
#include <string_view>

namespace korvex::web {

class ScratchDir {
 public:
  // Throws the command line's Failure when the directory cannot be made.
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // A new name inside it, never handed out before ("upload-7").
  std::filesystem::path fresh(std::string_view kind);

 private:
  std::filesystem::path path_;
  std::atomic<unsigned long> counter_{0};
};

}  // namespace korvex::web
