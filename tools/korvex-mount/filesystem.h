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

#include "fuse_api.h"
#include "mount_options.h"

namespace korvex::mount {

class Phone;

// The operations table; fuse's private data must be the Filesystem.
fuse_operations operations();

class Filesystem;
// Lives for the whole mount; the caller keeps `phone` alive as long.
Filesystem* newFilesystem(Phone& phone, const Options& options);
// Whether a file is left in the cache directory: one that could not be sent
// nor moved to the unsent directory. The caller then keeps the directory.
bool deleteFilesystem(Filesystem* filesystem);

}  // namespace korvex::mount
