// Opening and positioning local files on Windows: `long` has 32 bits there,
// so fseek and ftell would stop at 2 GiB.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>

#include <string>

#include "runtime/platform.h"

namespace korvex::platform {

// Opening never blocks here (a pipe without a server fails at once); what
// was opened is checked instead, so that a device such as CON is refused.
std::FILE* openRegularFileForReading(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return nullptr;
  struct _stat64 st {};
  if (_fstat64(_fileno(file), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
    const int error = (st.st_mode & _S_IFMT) == _S_IFDIR ? EISDIR : EINVAL;
    std::fclose(file);
    errno = error;
    return nullptr;
  }
  return file;
}

bool seekFile(std::FILE* stream, std::int64_t offset, int origin) {
  return _fseeki64(stream, offset, origin) == 0;
}

std::int64_t tellFile(std::FILE* stream) { return _ftelli64(stream); }

FileKind fileKind(const std::string& path) {
  struct _stat64 st {};
  if (_stat64(path.c_str(), &st) != 0) return FileKind::Missing;
  switch (st.st_mode & _S_IFMT) {
    case _S_IFREG: return FileKind::Regular;
    case _S_IFDIR: return FileKind::Directory;
    default: return FileKind::Other;  // a device such as NUL or CON
  }
}

// Replacing a link's target is left to the system's own rename rules here.
std::string linkTarget(const std::string& path) { return path; }

std::FILE* createNewFile(const std::string& path) {
  const int fd = _open(path.c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  if (fd < 0) return nullptr;
  std::FILE* file = _fdopen(fd, "wb+");
  if (file == nullptr) _close(fd);
  return file;
}

// Windows keeps no permission bits worth carrying over: a read-only file
// refuses to be replaced instead.
void copyPermissions(const std::string&, const std::string&) {}

namespace {

// Local paths reach the library in the ANSI code page, as the C runtime
// opens them.
std::wstring widePath(const std::string& path) {
  const int length = MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  if (length > 0) MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), wide.data(), length);
  return wide;
}

// The C runtime's errno for the reasons a replacement fails.
int errnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return EACCES;
    case ERROR_DISK_FULL: return ENOSPC;
    default: return EIO;
  }
}

}  // namespace

bool replaceFile(const std::string& from, const std::string& to) {
  if (MoveFileExW(widePath(from).c_str(), widePath(to).c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  errno = errnoOf(GetLastError());
  return false;
}

bool removeFile(const std::string& path) { return _unlink(path.c_str()) == 0; }

}  // namespace korvex::platform
