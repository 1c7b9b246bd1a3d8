// Pipelined batches: many requests sent back to back, their replies read in
// order, so a directory's entries with their sizes, or the sizes of many
// paths, take a few round trips whatever their number. The service answers
// a connection's requests in the order it reads them, and every reply's
// length is known from its header, so no reply can be taken for another's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "session/exchange.h"

namespace korvex::batches {

// Requests per send; two windows are in flight at most. Each request is
// 1028 bytes out and 40 back, so two windows' replies (20 KiB) always fit
// the socket buffers while requests are still going out, and neither side
// can wait on the other.
inline constexpr int kWindow = 256;

struct Entry {
  std::string name;
  std::uint32_t size = 0;  // 0 for a directory
  bool isDirectory = false;
};

enum class Outcome {
  Done,
  Refused,   // the phone refused a listing; the stream is still in step
  TooLong,   // a path does not fit a request; nothing (more) was sent
  Failed,    // the exchange broke off; the connection is closed
};

// The directories of `path` (in the phone's order), then its files with
// their sizes. Both listings go out in one send; then every file's size
// request, `window` per send with two windows in flight, the first windows
// while the files' names still arrive (the very first after 32 names). A file whose size is refused (gone
// since the listing) is left out; so are "", "." and "..".
Outcome entries(Exchange& exchange, std::string_view path, std::vector<Entry>& out, int window = kWindow);

// The size of each path into `sizes` (as many), -1 where the phone refused
// it. Failed leaves every size at -1: a reply never goes to the wrong path.
// Paths are checked before anything is sent.
Outcome sizes(Exchange& exchange, const std::vector<std::string_view>& paths, std::vector<std::int64_t>& sizes,
              int window = kWindow);

// What a path is. Unsized: there and not a directory, but the phone gives
// no size for it (its size needs more than the reply's 32 bits).
enum class Kind { Missing, File, Directory, Unsized };

struct PathKind {
  Kind kind = Kind::Missing;
  std::uint32_t size = 0;  // a file's; 0 otherwise
};

// What each path is, into `kinds` (as many): an is-directory, a size and an
// exists request per path, all in one pipelined pass, `window` requests per
// send. Failed leaves every path Missing: an answer never goes to the wrong
// path. Paths are checked before anything is sent.
Outcome kinds(Exchange& exchange, const std::vector<std::string_view>& paths, std::vector<PathKind>& kinds,
              int window = kWindow);

}  // namespace korvex::batches
