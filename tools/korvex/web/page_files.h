// The page's files, embedded at build time from page/ (embed_page.cmake):
// the server needs nothing on disk and fetches nothing at run time.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace korvex::web {

struct PageFile {
  std::string_view path;  // "/index.html", "/app.js", ...
  std::string_view bytes;
};

std::span<const PageFile> pageFiles();

}  // namespace korvex::web
