// What a copy of several files or whole trees will do, worked out before any
// byte moves: the directories to create, the files to copy, and the sources
// that cannot be copied at all.
#pragma once

#include <cstdint>
#include <functional>
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

// What a plan may start before it is whole, each where given: `trees` once
// a tree is to be copied (the copy's logins, say), before it is listed;
// `together` lists a phone tree's subdirectories side by side.
struct PlanAhead {
  std::function<void()> trees;
  korvex::TreeLister together;
};

// Phone sources into the local `dest`, a directory when there are several.
// Throws a Failure when the connection is lost.
Plan planGet(const korvex::Session& phone, const std::vector<std::string>& sources, const std::string& dest,
             bool recursive, const PlanAhead& ahead = {});
// Local sources into the phone's `dest`, a directory when there are several.
Plan planPut(const korvex::Session& phone, const std::vector<std::string>& sources, const std::string& dest,
             bool recursive, const PlanAhead& ahead = {});

}  // namespace korvex::cli
