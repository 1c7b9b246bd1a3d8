// What the korvexd fuzzers share: a small served root rebuilt for every
// input, the checks made after it, and one client connection served in
// process over a socket pair.
//
// The root holds files, a FIFO and symbolic links that lead out of it, to a
// sibling directory. After every input that sibling must be exactly as it
// was, no upload may have left its temporary file, and no descriptor may be
// left open.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "client_session.h"
#include "root.h"

namespace fuzz {

constexpr const char* kPassword = "fuzz";

// Reports a broken invariant and aborts, so that libFuzzer keeps the input.
void check(bool ok, const char* what);

class Sandbox {
 public:
  Sandbox();

  // The served directory, through either resolver (openat2 where the kernel
  // has it, else the walk).
  const korvexd::Root& root(bool openat2) const;
  // Puts the root back as every input starts from.
  void reset();
  // The checks after an input; aborts on the first that fails.
  void verify();

  std::filesystem::path base;     // holds root/ and outside/, nothing else
  std::filesystem::path served;   // the root's directory
  std::filesystem::path outside;  // reachable only through symbolic links that leave the root

 private:
  struct Entry {
    std::uintmax_t size;
    std::int64_t mtime;
    unsigned mode, uid, gid;
    bool operator==(const Entry&) const = default;
  };
  // Everything below `dir`, symbolic links not followed.
  static std::map<std::string, Entry> snapshot(const std::filesystem::path& dir);

  std::map<std::string, Entry> outsideBefore_;
  std::optional<korvexd::Root> roots_[2];  // openat2, walk
};

// Built on first use and never destroyed: the service may log at exit.
Sandbox& sandbox();

// Serves one connection whose client sends `stream` (from the password block
// on) and then closes its side: a ClientSession runs it to its end on this
// thread. Returns every byte the service sent. Fails the input when a
// descriptor is left open.
std::vector<std::uint8_t> serveClient(const std::vector<std::uint8_t>& stream, const korvexd::Root& root,
                                      const korvexd::ServiceConfig& config);

// The service's settings for a fuzz input: every byte is there before the
// service reads, so only a bug makes it wait.
korvexd::ServiceConfig fuzzConfig(bool powerExits);

}  // namespace fuzz
