// A download's destination, written so that it is never left half done.
#pragma once

#include <string>

#include "runtime/local_file.h"

namespace korvex {

// The bytes go to a new temporary file beside the destination, which takes
// the destination's place in one step at commit(). Until then the
// destination is exactly as it was, its content or its absence; dropped
// uncommitted, the temporary file goes again. A destination that is no
// regular file (a device, a FIFO) is written in place: there is no file to
// lose there, and nothing could be renamed over it.
class ReplacingFile {
 public:
  ReplacingFile() = default;
  virtual ~ReplacingFile();
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  // Failures log "File %s open error", naming the destination.
  bool open(std::string destination);
  int write(const void* buffer, int length);
  // Flushes and closes the temporary file and puts it in the destination's
  // place. False when any write, the flush or the replacement failed; the
  // destination is then as before.
  bool commit();
  // Removes the temporary file; the destination stays as it was.
  void discard();

  // Where the bytes go until commit(); the destination itself when written
  // in place.
  const std::string& writtenPath() const { return written_; }

 private:
  bool openTemporary(const std::string& directory, const std::string& name);

  VFile file_;
  std::string target_;   // what commit() replaces: the destination, or the file its link names
  std::string written_;  // the temporary file, or target_ when written in place
  bool inPlace_ = false;
  bool pending_ = false;  // a temporary file exists that nothing has committed or removed
};

}  // namespace korvex
