// Why the phone said no. The protocol answers only yes or no, so the
// reason is read off the phone's state afterwards: what the path, its
// folder, a rename's destination and its folder are (one round trip for
// all four), and, only where a rule needs it, whether a folder has entries
// or how much space is free. One table of rules, first match wins, gives
// every host the same answer, the one users know from the local file
// system. Part of korvex.hpp; Session applies it to each refused call.
#ifndef KORVEX_DIAGNOSIS_HPP
#define KORVEX_DIAGNOSIS_HPP

#include <cstdint>
#include <optional>

#include "korvex/errors.hpp"

namespace korvex {

// What a phone path is, as Session::status finds it. unsized: there and not
// a directory, but the phone gives no size for it (4 GiB or more).
enum class PathKind { missing, file, directory, unsized };
struct PathStatus {
  PathKind kind = PathKind::missing;
  std::uint32_t size = 0;  // a file's; 0 otherwise
};

// The refused operation. `path` is its first path; `second` a rename's
// destination. An upload's `path` is the phone destination.
enum class Operation {
  access,          // a question or read about an existing path
  list,            // a folder's listing
  make_directory,
  remove,          // a file
  remove_directory,
  rename,
  upload,
  download,
  chown,
};

namespace diagnosis {

enum class Subject : unsigned char { path, path_parent, second, second_parent };
enum class Test : unsigned char {
  any,            // always true: the rule's second condition when it has none
  missing,
  present,
  directory,
  not_directory,  // there, and not a folder
  has_entries,    // a folder that lists something (asked only when needed)
  short_of_space, // the phone says it has no free space there (asked only when needed)
};
struct Condition {
  Subject subject;
  Test test;
};
struct Rule {
  Operation operation;
  Condition first;
  Condition also;
  Errc answer;
};

constexpr Condition kAlways{Subject::path, Test::any};

// First match wins; an operation none of whose rules match is `refused`. A
// path that is not there because its folder is a file is not_a_directory, as
// the system's path lookup says.
inline constexpr Rule kRules[] = {
    {Operation::access, {Subject::path, Test::missing}, {Subject::path_parent, Test::not_directory},
     Errc::not_a_directory},
    {Operation::access, {Subject::path, Test::missing}, kAlways, Errc::not_found},

    {Operation::list, {Subject::path, Test::missing}, {Subject::path_parent, Test::not_directory},
     Errc::not_a_directory},
    {Operation::list, {Subject::path, Test::missing}, kAlways, Errc::not_found},
    {Operation::list, {Subject::path, Test::not_directory}, kAlways, Errc::not_a_directory},

    {Operation::make_directory, {Subject::path, Test::present}, kAlways, Errc::already_exists},
    {Operation::make_directory, {Subject::path_parent, Test::missing}, kAlways, Errc::not_found},
    {Operation::make_directory, {Subject::path_parent, Test::not_directory}, kAlways, Errc::not_a_directory},

    {Operation::remove, {Subject::path, Test::missing}, {Subject::path_parent, Test::not_directory},
     Errc::not_a_directory},
    {Operation::remove, {Subject::path, Test::missing}, kAlways, Errc::not_found},
    {Operation::remove, {Subject::path, Test::directory}, kAlways, Errc::is_a_directory},

    {Operation::remove_directory, {Subject::path, Test::missing}, {Subject::path_parent, Test::not_directory},
     Errc::not_a_directory},
    {Operation::remove_directory, {Subject::path, Test::missing}, kAlways, Errc::not_found},
    {Operation::remove_directory, {Subject::path, Test::not_directory}, kAlways, Errc::not_a_directory},
    {Operation::remove_directory, {Subject::path, Test::has_entries}, kAlways, Errc::not_empty},

    // As rename(2): onto a folder only a folder, and only an empty one.
    {Operation::rename, {Subject::path, Test::missing}, {Subject::path_parent, Test::not_directory},
     Errc::not_a_directory},
    {Operation::rename, {Subject::path, Test::missing}, kAlways, Errc::not_found},
    {Operation::rename, {Subject::second_parent, Test::missing}, kAlways, Errc::not_found},
    {Operation::rename, {Subject::second_parent, Test::not_directory}, kAlways, Errc::not_a_directory},
    {Operation::rename, {Subject::second, Test::directory}, {Subject::path, Test::not_directory},
     Errc::is_a_directory},
    {Operation::rename, {Subject::second, Test::not_directory}, {Subject::path, Test::directory},
     Errc::not_a_directory},
    {Operation::rename, {Subject::second, Test::has_entries}, kAlways, Errc::not_empty},
    {Operation::rename, {Subject::second, Test::present}, kAlways, Errc::already_exists},

    {Operation::upload, {Subject::path, Test::directory}, kAlways, Errc::is_a_directory},
    {Operation::upload, {Subject::path_parent, Test::missing}, kAlways, Errc::not_found},
    {Operation::upload, {Subject::path_parent, Test::not_directory}, kAlways, Errc::not_a_directory},
    {Operation::upload, {Subject::path_parent, Test::short_of_space}, kAlways, Errc::no_space},

    {Operation::download, {Subject::path, Test::missing}, {Subject::path_parent, Test::not_directory},
     Errc::not_a_directory},
    {Operation::download, {Subject::path, Test::missing}, kAlways, Errc::not_found},
    {Operation::download, {Subject::path, Test::directory}, kAlways, Errc::is_a_directory},

    {Operation::chown, {Subject::path, Test::missing}, {Subject::path_parent, Test::not_directory},
     Errc::not_a_directory},
    {Operation::chown, {Subject::path, Test::missing}, kAlways, Errc::not_found},
    {Operation::chown, {Subject::path, Test::present}, kAlways, Errc::not_permitted},
};

// What the rules may ask about the phone, answered on demand. kind() is
// answered for all four subjects at once, the others only when a rule
// reaches them. An empty optional: the phone did not answer.
class Facts {
 public:
  virtual ~Facts() = default;
  virtual std::optional<PathStatus> kind(Subject subject) = 0;
  virtual std::optional<bool> has_entries(Subject subject) = 0;
  virtual std::optional<bool> short_of_space(Subject subject) = 0;
};

// The answer the table gives, or `refused` when no rule matches; nullopt
// when a question it needed went unanswered.
inline std::optional<Errc> diagnose(Operation operation, Facts& facts) {
  const auto holds = [&](Condition c) -> std::optional<bool> {
    if (c.test == Test::any) return true;
    if (c.test == Test::has_entries) return facts.has_entries(c.subject);
    if (c.test == Test::short_of_space) return facts.short_of_space(c.subject);
    const std::optional<PathStatus> status = facts.kind(c.subject);
    if (!status) return std::nullopt;
    switch (c.test) {
      case Test::missing: return status->kind == PathKind::missing;
      case Test::present: return status->kind != PathKind::missing;
      case Test::directory: return status->kind == PathKind::directory;
      case Test::not_directory: return status->kind == PathKind::file || status->kind == PathKind::unsized;
      default: return false;
    }
  };
  for (const Rule& rule : kRules) {
    if (rule.operation != operation) continue;
    const std::optional<bool> first = holds(rule.first);
    if (!first) return std::nullopt;
    if (!*first) continue;
    const std::optional<bool> also = holds(rule.also);
    if (!also) return std::nullopt;
    if (*also) return rule.answer;
  }
  return Errc::refused;
}

}  // namespace diagnosis
}  // namespace korvex

#endif  // KORVEX_DIAGNOSIS_HPP
