// Compiled by check_compiles.cmake with -Werror: as it is, every result is
// used and it compiles; with -DIGNORED=N one kind of result is dropped, and
// the compiler must refuse it.
#include <chrono>

#include "korvex.hpp"

#ifndef IGNORED
#define IGNORED 0
#endif

int use(const korvex::Session& phone, const korvex::Transfer& copy) {
  int failures = 0;
#if IGNORED == 1
  phone.remove("/a");  // a Status
#else
  failures += !phone.remove("/a");
#endif
#if IGNORED == 2
  phone.file_size("/a");  // a Result<std::uint32_t>
#else
  failures += !phone.file_size("/a");
#endif
#if IGNORED == 3
  phone.exists("/a");  // an Answer
#else
  failures += !phone.exists("/a").ok();
#endif
#if IGNORED == 4
  phone.start_download("/a", "a");  // a Result<Transfer>
#else
  failures += !phone.start_download("/a", "a");
#endif
#if IGNORED == 5
  copy.wait(std::chrono::seconds(1));  // a Status from a Transfer
#else
  failures += !copy.wait(std::chrono::seconds(1));
#endif
#if IGNORED == 6
  korvex::Session::connect("127.0.0.1:1", "x");  // a Result<Session>
#else
  failures += !korvex::Session::connect("127.0.0.1:1", "x");
#endif
  return failures;
}
