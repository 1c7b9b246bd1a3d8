// Why the phone refused, as an ApiError the page shows as it is: the reason
// the host layer found (korvex/diagnosis.hpp), the same answer every host
// gives, with an HTTP status.
#pragma once

#include <string>

#include "api_reply.h"
#include "korvex.hpp"

namespace korvex::web {

// What was asked, which decides which reasons are looked for.
enum class Operation { list, stat, space, makeDirectory, rename, remove, download, upload };

// `path` is the path the operation named (for upload and make-directory the
// new path, for rename the source); `second` the rename's destination.
ApiError refusal(const korvex::Session& phone, korvex::Errc error, Operation operation, const std::string& path,
                 const std::string& second = {});

// No session could be opened.
ApiError unreachable(korvex::Errc error);

}  // namespace korvex::web
