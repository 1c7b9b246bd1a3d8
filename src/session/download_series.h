// Several downloads on one connection with their requests pipelined. Every
// reply says how many bytes follow it (none for a refusal), and the service
// answers a connection's requests in order, so the next requests go out
// while a file still arrives and their replies are read in turn: a run of
// small files costs about one round trip plus their bytes' time instead of
// a round trip each. Each file is written through a ReplacingFile, as a
// single download is.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "session/exchange.h"

namespace korvex {

struct DownloadJob {
  std::string phonePath;
  std::string localPath;
};

// At most this many requests are unanswered at a time.
inline constexpr std::size_t kDownloadWindow = 8;

// landed[i] tells whether jobs[i].localPath now holds the whole file. A
// request the phone refused, or a local file that cannot be made or
// written, fails that file alone; the series goes on. false when the
// exchange broke off: the connection is then closed, the files not yet
// committed stay not landed and their destinations as they were.
bool downloadSeries(Exchange& exchange, const std::vector<DownloadJob>& jobs, std::vector<bool>& landed,
                    std::size_t window = kDownloadWindow);

}  // namespace korvex
