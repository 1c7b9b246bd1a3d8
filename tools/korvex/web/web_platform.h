// The system calls the web server needs, one file per platform.
#pragma once

#include <string>

namespace korvex::web {

// A new directory in the temporary directory that only the user may enter
// (its path), or empty with the errno in `error`.
std::string makePrivateDirectory(int& error);

// A client that goes away mid-response must fail the write, not end the
// process.
void ignoreBrokenPipes();

// Starts the desktop's browser on `url`; false when it could not be
// started. Waits for xdg-open, which may wait for the browser it started.
bool openInBrowser(const std::string& url);

}  // namespace korvex::web
