// The file system the kernel sees: FUSE's path-based operations mapped onto
// the phone's whole-file commands.
//
// Metadata goes through one session (Phone); file contents move as
// background copies on connections of their own, at most `copies` at once,
// through local cache files in a private directory. Opening a file for
// reading starts its download and reads are served as its bytes arrive;
// writes go to the cache file and the whole file is uploaded when it is
// closed (flush), so a failed upload fails close(); the cache file is then
// moved to the unsent directory, never deleted.
#pragma once

#define FUSE_USE_VERSION 35
#include <fuse.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

namespace korvex::mount {

class Phone;

struct Options {
  std::chrono::milliseconds attrTimeout{1000};
  std::chrono::milliseconds startTimeout{10000};  // a copy's own connection and login
  std::uint64_t cacheBytes = std::uint64_t{2048} << 20;
  int copies = 4;
  std::filesystem::path cacheDir;  // private, created by the caller, removed at unmount
  // Where written files the phone did not confirm are kept (made when needed).
  std::filesystem::path unsentDir;
};

// The operations table; fuse's private data must be the Filesystem.
fuse_operations operations();

class Filesystem;
// Lives for the whole mount; the caller keeps `phone` alive as long.
Filesystem* newFilesystem(Phone& phone, const Options& options);
// Whether a file is left in the cache directory: one that could not be sent
// nor moved to the unsent directory. The caller then keeps the directory.
bool deleteFilesystem(Filesystem* filesystem);

}  // namespace korvex::mount
