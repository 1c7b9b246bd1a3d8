// The module's process-wide objects. They live in this one file so that they
// come up in this order, and go down in the reverse one: the connection lock,
// the log output, the log mutex. The mutexes are constant-initialised, so
// nothing that runs at load can fail.
#include <cstdio>

#include "net/connection.h"
#include "runtime/log.h"

namespace korvex {

PlainMutex connectionLock;
FILE* logOutput = stderr;
PlainMutex logMutex;

}  // namespace korvex
