// Several uploads on one connection with no pause between them: the
// confirming size request of each file goes out together with the next
// file's upload request, and their replies are read together, so a file
// costs one round trip plus its bytes' time instead of two. The service
// answers a connection's requests in order, so nothing else changes: a file
// counts as landed only when the phone answered its exact size afterwards.
#pragma once

#include <string>
#include <vector>

#include "session/exchange.h"

namespace korvex {

struct UploadJob {
  std::string localPath;
  std::string phonePath;
};

// landed[i] tells whether jobs[i] landed. A file that cannot be read or
// whose request the phone refused fails alone; the series goes on. false
// when the exchange broke off: the connection is then closed, and the
// files not yet confirmed stay not landed.
bool uploadSeries(Exchange& exchange, const std::vector<UploadJob>& jobs, std::vector<bool>& landed);

}  // namespace korvex
