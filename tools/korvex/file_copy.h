// get and put of one file: one background copy watched from the main thread.
#pragma once

#include <string>

#include "context.h"
#include "copy_support.h"

namespace korvex::cli {

int getFile(Context& context, const std::string& phonePath, const std::string& localPath, const CopyOptions& options);
int putFile(Context& context, const std::string& localPath, const std::string& phonePath, const CopyOptions& options);

}  // namespace korvex::cli
