// walk_tree over a phone made of a table of listings: with a TreeLister the
// visitor sees what it sees without one, each directory's subdirectories
// are listed in one call, and a listing that call failed is unlisted with
// the call's reason.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "korvex.hpp"

namespace korvex::test {
namespace {

using Entries = std::vector<Session::Entry>;

Session::Entry dir(std::string name) { return {std::move(name), true, 0, FileKind::directory, true}; }
Session::Entry file(std::string name, std::uint32_t size) { return {std::move(name), false, size, FileKind::file, true}; }

// Listings by path; a path not in the table is not found.
struct TablePhone {
  std::map<std::string, Entries> folders;
  mutable std::vector<std::string> listed;

  Result<Entries> listing(std::string_view path) const {
    listed.emplace_back(path);
    const auto found = folders.find(std::string(path));
    if (found == folders.end()) return Errc::not_found;
    return found->second;
  }
};

// Every call, as a line; "skip" is not entered, and an unlisted directory
// ends the walk when `stopAtUnlisted`.
class Recorder : public TreeVisitor {
 public:
  explicit Recorder(bool stopAtUnlisted) : stop_(stopAtUnlisted) {}
  bool unlisted(const std::string& path, std::size_t depth, const Reason& why) override {
    seen.push_back("unlisted " + path + " " + std::to_string(depth) + " " + why.code().message());
    return !stop_;
  }
  bool enter(const TreeEntry& entry) override {
    seen.push_back("enter " + entry.relative + (entry.last ? " last" : ""));
    return entry.name != "skip";
  }
  void file(const TreeEntry& entry) override {
    seen.push_back("file " + entry.relative + " " + std::to_string(entry.size) + " " + std::to_string(entry.depth));
  }
  std::vector<std::string> seen;

 private:
  bool stop_;
};

TEST(TreeWalk, ATreeListerChangesHowTheTreeIsListedNotWhatTheVisitorSees) {
  TablePhone phone;
  phone.folders = {
      {"/r", {dir("a"), dir("skip"), dir("b"), file("f1", 1), file("f2", 2)}},
      {"/r/a", {dir("c"), file("x", 3)}},
      {"/r/a/c", {file("y", 4)}},
      {"/r/skip", {file("z", 5)}},
      // /r/b is not there: unlisted.
  };
  const std::vector<std::string> walked = {
      "enter a",          "enter a/c",          "file a/c/y 4 2", "file a/x 3 1",  "enter skip",
      "enter b",          "unlisted /r/b 1 " + make_error_code(Errc::not_found).message(),
      "file f1 1 0",      "file f2 2 0",
  };
  struct Case {
    const char* name;
    bool lister;
    std::string failing;  // a path the lister fails with connection_lost
    bool stopAtUnlisted;
    std::vector<std::string> seen;
    std::vector<std::vector<std::string>> calls;  // what the lister was asked, call by call
    std::vector<std::string> listedOnPhone;
  };
  std::vector<std::string> failedA = {"enter a", "unlisted /r/a 1 " + make_error_code(Errc::connection_lost).message()};
  failedA.insert(failedA.end(), walked.begin() + 4, walked.end());
  const Case cases[] = {
      {"no lister", false, "", false, walked, {}, {"/r", "/r/a", "/r/a/c", "/r/b"}},
      {"a lister", true, "", false, walked, {{"/r/a", "/r/skip", "/r/b"}, {"/r/a/c"}}, {"/r"}},
      {"a listing the lister failed", true, "/r/a", false, failedA, {{"/r/a", "/r/skip", "/r/b"}}, {"/r"}},
      {"the visitor ends the walk", true, "", true,
       std::vector<std::string>(walked.begin(), walked.begin() + 7), {{"/r/a", "/r/skip", "/r/b"}, {"/r/a/c"}},
       {"/r"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    phone.listed.clear();
    std::vector<std::vector<std::string>> calls;
    TablePhone side = phone;  // what the lister lists, apart from the walk's own phone
    TreeLister together;
    if (c.lister) {
      together = [&](const std::vector<std::string>& paths) {
        calls.push_back(paths);
        std::vector<Result<std::vector<TreeName>>> listed;
        for (const std::string& path : paths) {
          listed.push_back(path == c.failing ? Result<std::vector<TreeName>>(Errc::connection_lost)
                                             : tree_names(side, path));
        }
        return listed;
      };
    }
    Recorder recorder(c.stopAtUnlisted);
    const bool whole = walk_tree(phone, "/r", recorder, together);
    EXPECT_EQ(whole, !c.stopAtUnlisted);
    EXPECT_EQ(recorder.seen, c.seen);
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(phone.listed, c.listedOnPhone);
  }
}

}  // namespace
}  // namespace korvex::test
