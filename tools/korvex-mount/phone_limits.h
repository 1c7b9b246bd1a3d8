// What the phone's commands take: sizes travel as 32-bit words, paths are
// bounded.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvex::mount {

constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFu;
constexpr std::size_t kMaxPath = 1022;
constexpr std::size_t kMaxRenameDest = 254;

}  // namespace korvex::mount
