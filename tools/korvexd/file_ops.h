// What each command does on disk. Every path goes through Root, so nothing
// here can reach outside the served directory. Results are errno values
// (0 = done) for the connection to turn into a status and a log reason.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fd.h"
#include "root.h"

namespace korvexd {

// Sizes travel as 32-bit words: a larger file is refused with this error.
constexpr int kTooLargeError = EFBIG;

// Uploads in progress live under names with this prefix. Clients cannot
// create names that start with it, and no request reaches one (it is answered
// as missing, and listings leave it out), so one client cannot read, move or
// remove another's upload, and removing leftovers at start can never take a
// client's file.
constexpr std::string_view kUploadTempPrefix = ".korvexd-upload-";
bool isUploadTempName(std::string_view name);

// Removes the temporary files of uploads that a crash or a kill cut short,
// anywhere below the root. Symbolic links are not followed. Returns how many
// were removed.
std::size_t removeStaleUploads(const Root& root);

int renamePath(const Root& root, std::string_view from, std::string_view to);
int deleteFile(const Root& root, std::string_view path);
// `tree`: remove the directory with everything below it; else it must be empty.
int deleteDirectory(const Root& root, std::string_view path, bool tree);
int makeDirectory(const Root& root, std::string_view path);

enum class EntryKind { File, Directory };
// Names of the regular files or of the subdirectories in the directory `path`,
// sorted bytewise. Symbolic links are neither; upload temporaries are left out.
int listDirectory(const Root& root, std::string_view path, EntryKind kind, std::vector<std::string>& names);

int fileSize(const Root& root, std::string_view path, std::uint32_t& size);
// Both follow a final symlink while it stays inside the root; `error` says
// why the answer is no.
bool isDirectory(const Root& root, std::string_view path, int& error);
bool exists(const Root& root, std::string_view path, int& error);
// Owner and group of `path` itself (a symlink is not followed); -1 keeps one.
int changeOwner(const Root& root, std::string_view path, std::int32_t owner, std::int32_t group);
// What the files below the root hold, in bytes.
std::uint64_t storedBytes(const Root& root);
// Space available to the service on the filesystem holding `path`, in KiB.
int freeSpaceKiB(const Root& root, std::string_view path, std::uint64_t& kib);

// A regular file opened for sending, with its size.
int openForDownload(const Root& root, std::string_view path, Fd& file, std::uint32_t& size);

// An upload written to a hidden temporary file beside its destination and
// renamed over it by commit(), so readers never see a partial file under the
// real name. Destroying an uncommitted upload removes the temporary file.
class Upload {
 public:
  Upload() = default;
  Upload(const Upload&) = delete;
  Upload& operator=(const Upload&) = delete;
  ~Upload();

  // The temporary file is the service's own (0600) until commit() gives it
  // the permission bits of the file it replaces, or `newMode` for a new one.
  int begin(const Root& root, std::string_view path, unsigned newMode);
  int write(const void* data, std::size_t size);
  int commit();
  int fd() const { return file_.get(); }

 private:
  void discard();

  Fd dir_;
  Fd file_;
  std::string name_;
  std::string tempName_;
  unsigned newMode_ = 0;
};

}  // namespace korvexd
