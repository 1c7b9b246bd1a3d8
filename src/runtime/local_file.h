// One file on the host's disk, through a buffered stdio stream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "runtime/page_buffer.h"

namespace korvex {

enum VFileMode : int {
  VFILE_NO_OPEN = 0x01,
  VFILE_READ = 0x02,
  VFILE_WRITE = 0x04,  // created, or emptied when it exists
  // The caller moves large blocks: no stream buffer, so each block goes
  // between its memory and the file in one system call, with no copy between.
  VFILE_DIRECT = 0x40,
  // With VFILE_WRITE: the file is created and must not exist yet. A failure
  // is not logged: the caller made the name up and logs what it was for.
  VFILE_NEW = 0x80,
};

// Replaces every '\' by '/'.
void normalizeSlashes(std::string& path);

class VFile {
 public:
  VFile() = default;
  virtual ~VFile();
  VFile(const VFile&) = delete;
  VFile& operator=(const VFile&) = delete;

  bool open(std::string path, int mode);
  void close();

  // Fewer than `n` only at end of file or on a read error. Every operation
  // below reports failure on a file that is not open instead of crashing.
  int readFully(void* buffer, int n);
  int write(const void* buffer, int length);
  // Whether a read or write error has been seen, or a flush failed.
  bool failed() const;
  bool flush();

  std::int64_t size();
  bool seek(std::int64_t offset, int origin);
  std::int64_t tell();

  std::string fullName() const { return directory_ + fileName_; }
  const std::string& directory() const { return directory_; }
  const std::string& fileName() const { return fileName_; }
  bool isOpen() const { return open_; }

 private:
  bool openStream(const char* mode);
  // Buffering as the open mode asks; false for a null stream.
  bool adoptStream(std::FILE* stream);

  std::string fileName_;
  std::string directory_;
  bool open_ = false;
  std::FILE* stream_ = nullptr;
  bool flushFailed_ = false;
  bool direct_ = false;
  PageBuffer<char> buffer_;  // outlives the stream that uses it
};

}  // namespace korvex
