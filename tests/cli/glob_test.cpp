// The matcher of phone path patterns, without a phone.
#include "glob.h"

#include <gtest/gtest.h>

#include <string>

namespace korvex::cli {
namespace {

struct MatchCase {
  const char* pattern;
  const char* name;
  bool matches;
};

class GlobMatchTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(GlobMatchTest, MatchesAsAShellDoes) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(globMatch(c.pattern, c.name), c.matches) << "pattern " << c.pattern << ", name " << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GlobMatchTest,
    ::testing::Values(
        // Stars: any run, empty included, with backtracking.
        MatchCase{"*", "IMG_1.jpg", true}, MatchCase{"*.jpg", "IMG_1.jpg", true},
        MatchCase{"*.jpg", "IMG_1.jpeg", false}, MatchCase{"IMG_*", "IMG_", true}, MatchCase{"*a*b", "xaybzb", true},
        MatchCase{"*a*b", "xaybzbc", false}, MatchCase{"a**b", "ab", true}, MatchCase{"*x*x*x", "xxyxyx", true},
        MatchCase{"*.tar.gz", "a.tar.tar.gz", true},
        // Question marks: one character, a whole UTF-8 sequence.
        MatchCase{"?", "a", true}, MatchCase{"?", "", false}, MatchCase{"?", "ab", false},
        MatchCase{"IMG_??.jpg", "IMG_12.jpg", true}, MatchCase{"IMG_??.jpg", "IMG_1.jpg", false},
        MatchCase{"caf?", "caf\xc3\xa9", true}, MatchCase{"caf??", "caf\xc3\xa9", false}, MatchCase{"?", "\xff", true},
        // Sets, ranges, negation and a ']' as the first member.
        MatchCase{"[abc]", "b", true}, MatchCase{"[abc]", "d", false}, MatchCase{"IMG_[0-9]", "IMG_7", true},
        MatchCase{"IMG_[0-9]", "IMG_x", false}, MatchCase{"[!0-9]*", "a1", true}, MatchCase{"[!0-9]*", "1a", false},
        MatchCase{"[^a]", "a", false}, MatchCase{"[^a]", "b", true}, MatchCase{"[]a]", "]", true},
        MatchCase{"[!]]", "]", false}, MatchCase{"[a-]", "-", true}, MatchCase{"[\xc3\xa0-\xc3\xbf]", "\xc3\xa9", true},
        MatchCase{"[a-c][x-z]", "bz", true},
        // A '[' without its ']' is itself.
        MatchCase{"[abc", "[abc", true}, MatchCase{"[abc", "a", false}, MatchCase{"a[", "a[", true},
        // Backslash: the next character as it is.
        MatchCase{"\\*", "*", true}, MatchCase{"\\*", "a", false}, MatchCase{"a\\?c", "a?c", true},
        MatchCase{"a\\?c", "abc", false}, MatchCase{"\\[a]", "[a]", true}, MatchCase{"[\\]]", "]", true},
        // A leading dot must be spelled out; elsewhere a dot is any character.
        MatchCase{"*", ".hidden", false}, MatchCase{"?hidden", ".hidden", false}, MatchCase{"[.]x", ".x", false},
        MatchCase{".*", ".hidden", true}, MatchCase{"\\.h*", ".hidden", true}, MatchCase{"a?b", "a.b", true},
        // Case matters.
        MatchCase{"*.JPG", "a.jpg", false}));

TEST(GlobTextTest, WildcardsAreFoundUnlessEscapedAndEscapesAreUndone) {
  struct Case {
    const char* text;
    bool wildcard;
    const char* name;
  };
  const Case cases[] = {
      {"IMG_1.jpg", false, "IMG_1.jpg"},
      {"*.jpg", true, "*.jpg"},
      {"a?", true, "a?"},
      {"[ab]", true, "[ab]"},
      {"[ab", false, "[ab"},
      {"\\*x", false, "*x"},
      {"a\\\\*", true, "a\\*"},
      {"a\\[b]", false, "a[b]"},
      {"end\\", false, "end\\"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hasWildcard(c.text), c.wildcard) << c.text;
    if (!c.wildcard) {
      EXPECT_EQ(unescaped(c.text), c.name) << c.text;
    }
  }
  EXPECT_FALSE(isPattern("/DCIM/a\\b.jpg"));
  EXPECT_TRUE(isPattern("/DCIM/\\*.jpg"));
}

}  // namespace
}  // namespace korvex::cli
