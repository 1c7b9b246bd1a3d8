// The terminal the client draws its progress bar on.
#pragma once

namespace korvex::cli {

// Whether standard output is an interactive console or terminal.
bool outputIsTerminal();
// Whether standard input is one, so a command line with no command opens
// the shell.
bool inputIsTerminal();
// Columns of that terminal; 80 when it cannot tell.
int terminalWidth();
// Standard input and output carry bytes, not text (cat, put -).
void binaryStandardStreams();

}  // namespace korvex::cli
