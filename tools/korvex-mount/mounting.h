// Mounting the file system where the command line says, going to the
// background unless told otherwise, and serving FUSE's requests until the
// mount ends (fusermount3 -u, Ctrl-C, SIGTERM).
#pragma once

#include "command_line.h"

namespace korvex::mount {

class Filesystem;

// The exit status: 0 after a normal end, kMountFailed otherwise.
int mountAndServe(const Settings& settings, Filesystem* filesystem);

}  // namespace korvex::mount
