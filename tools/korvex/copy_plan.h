// What a copy of several files or whole trees will do, worked out before any
// byte moves: the directories to create, the files to copy, and the sources
// that cannot be copied at all.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "failure.h"
#include "korvex.hpp"

namespace korvex::cli {

struct Job {
  std::string from, to;
  std::int64_t size = 0;
};

struct Plan {
  std::vector<std::string> directories;  // to create, parents before children
  std::vector<Job> jobs;
  std::vector<Failure> failures;         // each reported, and counted as a file that did not arrive

  std::int64_t bytes() const {
    std::int64_t sum = 0;
    for (const Job& job : jobs) sum += job.size;
    return sum;
  }
};

// Phone sources into the local `dest`, a directory when there are several.
// Throws a Failure when the connection is lost.
Plan planGet(const korvex::Session& phone, const std::vector<std::string>& sources, const std::string& dest,
             bool recursive);
// Local sources into the phone's `dest`, a directory when there are several.
Plan planPut(const korvex::Session& phone, const std::vector<std::string>& sources, const std::string& dest,
             bool recursive);

}  // namespace korvex::cli
