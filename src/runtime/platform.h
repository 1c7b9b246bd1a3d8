// Process, thread, clock, error-text and local-file services of the host
// system. One implementation per system and concern: platform_posix.cpp /
// platform_win32.cpp, local_file_posix.cpp / local_file_win32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace korvex::platform {

int processId();
int threadId();

struct WallTime {
  std::int64_t seconds;  // since 1970-01-01 UTC
  int milliseconds;
};
WallTime wallClock();

// "%m-%d %H:%M:%S" in local time.
std::string localTimeStamp(std::int64_t seconds);

// Opens an existing regular file for reading. Anything else (a directory, a
// FIFO, a device) is refused, and the check never blocks: a FIFO with no
// writer must not hold the caller in its open. Null on failure.
std::FILE* openRegularFileForReading(const std::string& path);

// Memory straight from the system, zero-filled, given back whole by
// unmapPages(block, bytes): never held by the C library's allocator after
// its release. Null when the system refused.
void* mapPages(std::size_t bytes);
void unmapPages(void* block, std::size_t bytes);

// The system's text for an error number; thread-safe.
std::string errorText(int errnum);
int lastError();

// 64-bit positions in a stdio stream, also where `long` has 32 bits.
bool seekFile(std::FILE* stream, std::int64_t offset, int origin);
std::int64_t tellFile(std::FILE* stream);

// What a path names, following symbolic links.
enum class FileKind { Missing, Regular, Directory, Other };
FileKind fileKind(const std::string& path);
// The path a replacement of `path` must take the place of: the regular file
// a symbolic link ends at, or `path` itself.
std::string linkTarget(const std::string& path);
// Creates a new, empty file for writing and reading; fails (errno EEXIST)
// when anything already has that name. Null on failure.
std::FILE* createNewFile(const std::string& path);
// Gives `path` the permission bits of `model`, where the system has them.
void copyPermissions(const std::string& model, const std::string& path);
// Puts the file `from` in the place of `to` in one step, replacing a file
// that is there.
bool replaceFile(const std::string& from, const std::string& to);
bool removeFile(const std::string& path);

}  // namespace korvex::platform
