// The module's process-wide objects, in one file. The mutexes are
// constant-initialised, so nothing that runs at load can fail, and never
// destroyed, so a session's thread that outlives the host's exit still finds
// them.
#include <cstdio>

#include "net/connection.h"
#include "runtime/immortal.h"
#include "runtime/log.h"

namespace korvex {
namespace {

constinit Immortal<PlainMutex> connectionMutex;
constinit Immortal<PlainMutex> logOutputMutex;

}  // namespace

PlainMutex& connectionLock = connectionMutex.value;
FILE* logOutput = stderr;
PlainMutex& logMutex = logOutputMutex.value;

}  // namespace korvex
