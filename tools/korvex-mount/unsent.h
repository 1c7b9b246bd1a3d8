// Where written files go when the phone did not confirm them: the cache file
// is then the only copy of what the user wrote, so it outlives the mount.
#pragma once

#include <filesystem>
#include <string>

namespace korvex::mount {

// The file name that tells which phone path a kept file was meant for:
// "/a/b.txt" -> "a%2Fb.txt" ('%' itself as "%25"), cut from the front to fit
// a local name.
std::string unsentName(const std::string& phonePath);

// Moves `local` into `dir` (made, private, when missing) under
// unsentName(phonePath), or that name with ".1", ".2", ... added: an earlier
// kept file is never replaced. Across file systems the bytes are copied and
// the cache file removed only once the copy is written. The kept file's
// path, or empty with `why` set when the cache file stays where it is.
std::filesystem::path keepUnsent(const std::string& local, const std::string& phonePath,
                                 const std::filesystem::path& dir, std::string& why);

}  // namespace korvex::mount
