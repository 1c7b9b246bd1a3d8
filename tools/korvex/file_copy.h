// get and put of one file: one background copy watched from the main thread.
#pragma once

#include <string>

#include "context.h"
#include "copy_support.h"

namespace korvex::cli {

int getFile(Context& context, const std::string& phonePath, const std::string& localPath, const CopyOptions& options);
// `label` names a source that is not the user's file (standard input spooled
// to a temporary one) in every message; such a source has no name to put
// into a phone directory.
int putFile(Context& context, const std::string& localPath, const std::string& phonePath, const CopyOptions& options,
            const std::string& label = {});

}  // namespace korvex::cli
