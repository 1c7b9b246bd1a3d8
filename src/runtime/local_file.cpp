#include "runtime/local_file.h"

#include <cstring>
#include <new>

#include "runtime/log.h"
#include "runtime/platform.h"

namespace korvex {
namespace {

// A larger stdio buffer than the default: bulk copies make a system call per
// megabyte instead of per few kilobytes.
constexpr std::size_t kStreamBufferSize = 1 << 20;

}  // namespace

void normalizeSlashes(std::string& path) {
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
}

VFile::~VFile() { close(); }

void VFile::close() {
  if (open_) {
    if (std::fclose(stream_) != 0) flushFailed_ = true;
    open_ = false;
    stream_ = nullptr;
  }
  buffer_.reset();
}

bool VFile::openStream(const char* mode) {
  // Read-only opens are the sources of uploads: only a regular file will do.
  return adoptStream(std::strcmp(mode, "rb") == 0 ? platform::openRegularFileForReading(fullName())
                                                   : std::fopen(fullName().c_str(), mode));
}

bool VFile::adoptStream(std::FILE* stream) {
  stream_ = stream;
  if (stream_ == nullptr) return false;
  if (direct_) {
    // Refused, the stream keeps its own buffer: slower, still correct.
    std::setvbuf(stream_, nullptr, _IONBF, 0);
    return true;
  }
  buffer_ = pageBuffer<char>(kStreamBufferSize);
  if (buffer_) std::setvbuf(stream_, buffer_.get(), _IOFBF, kStreamBufferSize);
  return true;
}

bool VFile::open(std::string path, int mode) {
  close();
  flushFailed_ = false;
  normalizeSlashes(path);
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    directory_ = "./";
    fileName_ = path;
  } else if (slash + 1 == path.size()) {
    logPrint(ERR, "file name error");
    return false;
  } else {
    directory_ = path.substr(0, slash + 1);
    fileName_ = path.substr(slash + 1);
  }

  mode &= 0xFF;
  direct_ = (mode & VFILE_DIRECT) != 0;
  bool opened;
  if (mode & VFILE_NO_OPEN) {
    return true;
  } else if (mode & VFILE_READ) {
    opened = openStream("rb");
  } else if (mode & VFILE_WRITE) {
    if (mode & VFILE_NEW) {
      if (!adoptStream(platform::createNewFile(fullName()))) return false;
      open_ = true;
      return true;
    }
    opened = openStream("wb+");
  } else {
    logPrint(ERR, "File open mode error");
    return false;
  }
  if (!opened) {
    logPrint(ERR, "File %s open error", fullName().c_str());
    return false;
  }
  open_ = true;
  return true;
}

int VFile::readFully(void* buffer, int n) {
  if (n <= 0 || !open_) return n <= 0 ? n : 0;
  auto* at = static_cast<char*>(buffer);
  int remaining = n;
  while (remaining > 0) {
    if (std::feof(stream_) || std::ferror(stream_)) return n - remaining;
    remaining -= static_cast<int>(std::fread(at + (n - remaining), 1, static_cast<std::size_t>(remaining), stream_));
  }
  return n;
}

int VFile::write(const void* buffer, int length) {
  if (!open_ || length <= 0) return 0;
  return static_cast<int>(std::fwrite(buffer, 1, static_cast<std::size_t>(length), stream_));
}

bool VFile::flush() {
  if (open_ && std::fflush(stream_) != 0) flushFailed_ = true;
  return !failed();
}

bool VFile::failed() const { return flushFailed_ || (open_ && std::ferror(stream_)); }

std::int64_t VFile::size() {
  if (!open_) return -1;
  const std::int64_t position = tell();
  seek(0, SEEK_END);
  const std::int64_t size = tell();
  seek(position, SEEK_SET);
  return size;
}

bool VFile::seek(std::int64_t offset, int origin) {
  return open_ && platform::seekFile(stream_, offset, origin);
}

std::int64_t VFile::tell() { return open_ ? platform::tellFile(stream_) : -1; }

}  // namespace korvex
