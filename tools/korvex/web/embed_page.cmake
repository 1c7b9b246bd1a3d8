# Writes OUTPUT, a C++ file that holds each file of PAGE_DIR (given as
# FILES, relative, between commas) as bytes, for page_files.h. Run with
# cmake -P.
string(REPLACE "," ";" FILES "${FILES}")
set(_arrays "")
set(_table "")
set(_index 0)
foreach(_name IN LISTS FILES)
  file(READ "${PAGE_DIR}/${_name}" _hex HEX)
  string(LENGTH "${_hex}" _digits)
  math(EXPR _size "${_digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," _bytes "${_hex}")
  string(APPEND _arrays "constexpr char kFile${_index}[] = {${_bytes} 0};\n")
  string(APPEND _table "    {\"/${_name}\", {kFile${_index}, ${_size}}},\n")
  math(EXPR _index "${_index} + 1")
endforeach()
file(WRITE "${OUTPUT}.new" "// Made by embed_page.cmake from tools/korvex/web/page: do not edit.
#include \"page_files.h\"

namespace korvex::web {
namespace {
${_arrays}
constexpr PageFile kFiles[] = {
${_table}};
}  // namespace

std::span<const PageFile> pageFiles() { return kFiles; }

}  // namespace korvex::web
")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
