// A C++17 host of the installed wrapper header: connects, makes a
// directory, lists it back. Usage: hpp_host ADDRESS PASSWORD.
#include <cstdio>

#include "korvex.hpp"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  auto phone = korvex::Session::connect(argv[1], argv[2]);
  if (!phone) return 1;
  if (!phone->make_directory("/from-hpp") || !phone->make_directory("/from-hpp/inner")) return 1;
  auto names = phone->directories("/from-hpp");
  if (!names || names->size() != 1 || names->front() != "inner") return 1;
  std::puts("hpp_host: ok");
  return 0;
}
