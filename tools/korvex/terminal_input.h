// Waiting for a key on the terminal of standard input, ended by a stop
// signal without a race: one that lands just before the wait still ends it.
// POSIX only, as is the line editor that uses it.
#pragma once

namespace korvex::cli {

// Waits until standard input is readable: true; false when a stop signal
// (see stop_signals.h, whose handlers must be installed) came first or
// comes meanwhile.
bool waitForInput();

}  // namespace korvex::cli
