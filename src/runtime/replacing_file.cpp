#include "runtime/replacing_file.h"

#include <atomic>
#include <cerrno>

#include "runtime/log.h"
#include "runtime/platform.h"

namespace korvex {
namespace {

// Names stay well inside the 255 bytes most file systems allow in one
// component, whatever the destination's own name.
constexpr std::size_t kNameKept = 100;
constexpr int kNameAttempts = 100;

std::atomic<unsigned> temporaryCount{0};

// ".<name>.<pid>-<n>.part": hidden where a leading dot hides, unique within
// the process, and telling whom it belongs to if a crash leaves it behind.
std::string temporaryName(const std::string& name) {
  return "." + name.substr(0, kNameKept) + "." + std::to_string(platform::processId()) + "-" +
         std::to_string(temporaryCount.fetch_add(1)) + ".part";
}

}  // namespace

ReplacingFile::~ReplacingFile() { discard(); }

bool ReplacingFile::open(std::string destination) {
  discard();
  normalizeSlashes(destination);
  // The destination's own checks and name, as VFile gives them.
  VFile named;
  if (!named.open(destination, VFILE_NO_OPEN)) return false;
  const std::string shown = named.fullName();
  target_ = platform::linkTarget(shown);
  switch (platform::fileKind(target_)) {
    case platform::FileKind::Directory:
      logPrint(ERR, "File %s open error", shown.c_str());
      return false;
    case platform::FileKind::Other:
      inPlace_ = true;
      written_ = target_;
      return file_.open(target_, VFILE_WRITE | VFILE_DIRECT);
    default: break;
  }
  inPlace_ = false;
  VFile parts;
  parts.open(target_, VFILE_NO_OPEN);
  if (openTemporary(parts.directory(), parts.fileName())) return true;
  logPrint(ERR, "File %s open error", shown.c_str());
  return false;
}

bool ReplacingFile::openTemporary(const std::string& directory, const std::string& name) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    written_ = directory + temporaryName(name);
    if (file_.open(written_, VFILE_WRITE | VFILE_NEW | VFILE_DIRECT)) {
      pending_ = true;
      // A replaced file keeps who may read it.
      platform::copyPermissions(target_, written_);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

int ReplacingFile::write(const void* buffer, int length) { return file_.write(buffer, length); }

bool ReplacingFile::commit() {
  const bool written = file_.flush();
  file_.close();
  if (!written || file_.failed()) return false;
  if (inPlace_) return true;
  if (!platform::replaceFile(written_, target_)) {
    const int error = errno;
    logPrint(ERR, "File %s replace error: %s", target_.c_str(), platform::errorText(error).c_str());
    return false;
  }
  pending_ = false;
  return true;
}

void ReplacingFile::discard() {
  file_.close();
  if (pending_) platform::removeFile(written_);
  pending_ = false;
}

}  // namespace korvex
