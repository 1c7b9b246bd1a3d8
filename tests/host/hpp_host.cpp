// A C++17 host of the installed wrapper header: connects, makes a
// directory, walks it back. Usage: hpp_host ADDRESS PASSWORD.
#include <cstdio>
#include <system_error>

#include "korvex.hpp"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  auto phone = korvex::Session::connect(argv[1], argv[2]);
  if (!phone) return 1;
  if (!phone->make_directory("/from-hpp") || !phone->make_directory("/from-hpp/inner")) return 1;
  if (!phone->is_directory("/from-hpp/inner") || !phone->exists("/from-hpp/none").no()) return 1;
  auto tree = phone->walk("/from-hpp");
  if (!tree || tree->size() != 2 || tree->at(1).path != "/from-hpp/inner") return 1;
  // A refusal with its reason reads as the std::errc the file system gives.
  const std::error_code missing = phone->file_size("/from-hpp/none").error();
  if (missing != std::errc::no_such_file_or_directory || missing.category() != korvex::category()) return 1;
  std::puts("hpp_host: ok");
  return 0;
}
