// Checks what korvexd answered to a pipelined sequence of requests, from the
// two byte streams alone: what the client sent and what came back.
//
// The requests are read the way the protocol delimits them (an upload's data
// follows only an accepted upload; an unknown code or a path field without
// its NUL ends the connection), and every complete request must have its
// complete reply, in order, of the shape its command has; nothing may come
// after the last. A listing's names must be plain, sorted and unique, and
// never an upload in progress.
//
// The answers must also agree with each other. For each path (by its exact
// text), what the service said since the last request that could change the
// tree (rename, delete, make directory, upload) must hold together: a path
// that does not exist is no directory, has no size and cannot be downloaded
// or listed; a directory can be listed and not downloaded; a download has
// the size the size request gives; the same question gets the same answer.
// A change that succeeded says what follows from it: an uploaded file has
// exactly the bytes sent, a new directory is empty, a deleted path is gone.
#pragma once

#include <cstdint>
#include <vector>

namespace fuzz {

// `requests` is what followed the password block; `loggedIn` whether the
// password was right. Aborts the input on the first answer that breaks a rule.
void checkTranscript(const std::vector<std::uint8_t>& requests, const std::vector<std::uint8_t>& replies,
                     bool loggedIn, bool powerExits);

}  // namespace fuzz
