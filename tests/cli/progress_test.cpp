// The copy progress text: unit boundaries, time formats, and a bar line that
// never outgrows its terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "json.h"
#include "progress.h"
#include "text.h"

namespace korvex::cli {
namespace {

TEST(ProgressTextTest, BytesSwitchUnitsAtEachKibiStep) {
  EXPECT_EQ(formatBytes(0), "0 B");
  EXPECT_EQ(formatBytes(1023), "1023 B");
  EXPECT_EQ(formatBytes(1024), "1.0 KiB");
  EXPECT_EQ(formatBytes(1536), "1.5 KiB");
  EXPECT_EQ(formatBytes(3 * 1024 * 1024), "3.0 MiB");
  EXPECT_EQ(formatBytes(std::int64_t{5} << 30), "5.0 GiB");
}

TEST(ProgressTextTest, HumanSizesRoundUpWithOneDecimalBelowTen) {
  const struct {
    std::int64_t bytes;
    const char* shown;
  } cases[] = {
      {-1, "?"},
      {0, "0"},
      {1023, "1023"},
      {1024, "1.0K"},
      {1025, "1.1K"},  // never shown smaller than it is
      {1536, "1.5K"},
      {10137, "9.9K"},
      {10138, "10K"},  // 9.9004K: the next tenth is 10.0, written without the decimal
      {10240, "10K"},
      {10241, "11K"},
      {1048575, "1.0M"},  // 1023.999K rounds up into the next unit
      {3565158, "3.4M"},
      {std::int64_t{5} << 30, "5.0G"},
      {0xFFFFFFFDLL, "4.0G"},
      {(std::int64_t{1} << 40) * 1000, "1000T"},
      {INT64_MAX, "8.0E"},
  };
  for (const auto& c : cases) EXPECT_EQ(humanSize(c.bytes), c.shown) << c.bytes;
}

TEST(ProgressTextTest, CopySummaryJsonCountsTheFailures) {
  EXPECT_EQ(copySummaryJson(3, 2, 5000, 1.25), R"({"files":3,"arrived":2,"failed":1,"bytes":5000,"seconds":1.250})");
  EXPECT_EQ(copySummaryJson(0, 0, 0, 0.0), R"({"files":0,"arrived":0,"failed":0,"bytes":0,"seconds":0.000})");
}

TEST(ProgressTextTest, DurationsShowHoursOnlyWhenNeeded) {
  EXPECT_EQ(formatDuration(0), "0:00");
  EXPECT_EQ(formatDuration(59.4), "0:59");
  EXPECT_EQ(formatDuration(61), "1:01");
  EXPECT_EQ(formatDuration(3600), "1:00:00");
  EXPECT_EQ(formatDuration(-1), "--:--");
  EXPECT_EQ(formatDuration(1e9), "--:--");
}

TEST(ProgressTextTest, LineShowsPercentRateAndTimeLeft) {
  const std::string line = progressLine(512 * 1024, 1024 * 1024, 256 * 1024, 100);
  EXPECT_EQ(line.rfind("[", 0), 0u);
  EXPECT_NE(line.find(" 50%  512.0 KiB / 1.0 MiB  256.0 KiB/s  0:02 left"), std::string::npos) << line;
  // Half the bar filled.
  const std::size_t close = line.find(']');
  const std::string bar = line.substr(1, close - 1);
  EXPECT_EQ(std::count(bar.begin(), bar.end(), '#'), static_cast<long>(bar.size() / 2));
}

TEST(ProgressTextTest, LineCopesWithUnknownsAndOverruns) {
  EXPECT_NE(progressLine(0, -1, 0, 80).find("  0%  0 B / ?"), std::string::npos);
  // No rate yet: neither rate nor estimate.
  EXPECT_EQ(progressLine(10, 100, 0, 80).find("/s"), std::string::npos);
  // More than announced never reads beyond 100%.
  EXPECT_NE(progressLine(150, 100, 10, 80).find("100%"), std::string::npos);
  // Finished: nothing left to estimate.
  EXPECT_EQ(progressLine(100, 100, 10, 80).find("left"), std::string::npos);
  EXPECT_NE(progressLine(0, 0, 0, 80).find("100%"), std::string::npos);
}

TEST(ProgressTextTest, LineFitsTheWidthAndDropsTheBarWhenNarrow) {
  for (int width : {120, 80, 60, 40, 20, 5, 0}) {
    SCOPED_TRACE(width);
    const std::string line = progressLine(std::int64_t{700} << 20, std::int64_t{1} << 30, 50e6, width);
    EXPECT_LE(line.size(), static_cast<std::size_t>(width));
  }
  EXPECT_EQ(progressLine(1, 2, 1, 30).find('['), std::string::npos);
}

// A single file's line names it first, as scp does, in a third of the line
// at most; what is left fits as before.
TEST(ProgressTextTest, LineNamesTheFile) {
  const struct {
    std::string name;
    int width;
    std::string start;  // how the line starts
  } cases[] = {
      {"clip.mp4", 100, "clip.mp4 [#####"},
      {std::string(60, 'n'), 120, std::string(37, 'n') + "... [#"},
      {"a\x1b[2J.jpg", 100, "a\\033[2J.jpg ["},
      {"clip.mp4", 60, "clip.mp4   68%"},  // too narrow for the bar
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string line = progressLine(std::int64_t{700} << 20, std::int64_t{1} << 30, 50e6, c.width, c.name);
    EXPECT_EQ(line.rfind(c.start, 0), 0u) << line;
    EXPECT_LE(line.size(), static_cast<std::size_t>(c.width));
  }
}

// The bar's length follows the width alone: numbers that grow and long
// names are cut before it, on an 80-column terminal too.
TEST(ProgressTextTest, TreeBarKeepsItsLengthWhateverTheNames) {
  const TreeProgress starting{0, std::int64_t{3} << 30, 0, 10, 0.0};
  const TreeProgress running{std::int64_t{3} << 29, std::int64_t{3} << 30, 4, 1000, 100.0 * (1 << 20)};
  const struct {
    int width;
    std::size_t bar;  // '[', the bar, ']'; 0: none
  } cases[] = {{140, 22}, {100, 22}, {79, 16}, {75, 12}, {74, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.width);
    for (const TreeProgress& progress : {starting, running}) {
      for (const std::vector<std::string>& names : {std::vector<std::string>{}, {"a.jpg"}, {std::string(200, 'n')}}) {
        const std::string line = treeProgressLine(progress, names, c.width);
        EXPECT_EQ(line.rfind('[', 0) == 0 ? line.find(']') + 1 : 0, c.bar) << line;
        EXPECT_LE(line.size(), static_cast<std::size_t>(c.width));
      }
    }
  }
}

TEST(ProgressTextTest, TreeLineCountsFilesAndNamesTheCurrentOnes) {
  const TreeProgress halfway{std::int64_t{3} << 29, std::int64_t{3} << 30, 4, 10, 100.0 * (1 << 20)};
  const std::string wide = treeProgressLine(halfway, {"a.jpg", "b.mp4"}, 140);
  EXPECT_EQ(wide.rfind("[##########..........]  50%  1.5 GiB / 3.0 GiB  4/10 files  100.0 MiB/s  0:15 left  "
                       "a.jpg, b.mp4",
                       0),
            0u)
      << wide;
  for (int width : {100, 60, 30, 3, 0}) {
    SCOPED_TRACE(width);
    const std::string line = treeProgressLine(halfway, {std::string(200, 'n')}, width);
    EXPECT_EQ(line.size(), static_cast<std::size_t>(width));
    if (width >= 3) {
      EXPECT_EQ(line.substr(line.size() - 3), "...");
    }
  }
  // A name is shown, never obeyed.
  EXPECT_NE(treeProgressLine(halfway, {"a\x1b[2J", "b\r"}, 140).find("  a\\033[2J, b\\r"), std::string::npos);
  // Nothing but empty files: done when every file has ended.
  EXPECT_NE(treeProgressLine({0, 0, 3, 3, 0}, {}, 80).find("100%"), std::string::npos);
}

// One scheme, as `ls -b` has it: C escapes where C has one, octal for the
// other control bytes, C1 controls and invalid UTF-8; the rest untouched.
TEST(TerminalTextTest, ControlBytesAreShownEscaped) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain name.jpg", "plain name.jpg"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb7", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb7"},
      {"\x1b]0;pwned\x07", "\\033]0;pwned\\a"},
      {"\a\b\f\n\r\t\v", "\\a\\b\\f\\n\\r\\t\\v"},
      {"..\\x", "..\\\\x"},
      {std::string("n\0ul\x01\x1f\x7f", 7), "n\\000ul\\001\\037\\177"},
      {"\xc2\x9b" "31m", "\\302\\23331m"},          // CSI as a C1 character
      {"\xc2\xa0", "\xc2\xa0"},                       // U+00A0 is printable
      {"l\xe9gacy \xc3", "l\\351gacy \\303"},         // invalid UTF-8
      {"\xc0\xaf", "\\300\\257"},                    // an overlong '/'
  };
  for (const auto& [text, terminal] : cases) EXPECT_EQ(shown(text, ConsoleText::utf8), terminal) << terminal;
}

// A Windows console prints ANSI text, local paths among it: control bytes
// are escaped, separators and letters from 0x80 are not.
TEST(TerminalTextTest, AnAnsiConsoleIsToldOnlyOfControlBytes) {
  const std::pair<std::string, std::string> cases[] = {
      {"C:\\Users\\d\xfcr\\clip.mp4", "C:\\Users\\d\xfcr\\clip.mp4"},
      {"\x1b]0;pwned\x07", "\\033]0;pwned\\a"},
      {std::string("n\0ul\x7f", 5), "n\\000ul\\177"},
  };
  for (const auto& [text, terminal] : cases) EXPECT_EQ(shown(text, ConsoleText::ansi), terminal) << terminal;
}

TEST(JsonTextTest, StringsAreEscapedAndStayValidUtf8) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "\"plain\""},
      {"q\"b\\n", "\"q\\\"b\\\\n\""},
      {"tab\tnl\ncr\r\x01\x7f", "\"tab\\tnl\\ncr\\r\\u0001\\u007f\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb7", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb7\""},  // valid UTF-8 kept
      {"l\xe9gacy", "\"l\\u00e9gacy\""},          // a lone Latin-1 byte
      {"\xc3", "\"\\u00c3\""},                     // a sequence cut short
      {"\xc0\xaf", "\"\\u00c0\\u00af\""},         // an overlong '/'
      {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},  // a surrogate
      {"\x1b]0;t\x07 \xc2\x9b[2J", "\"\\u001b]0;t\\u0007 \\u009b[2J\""},  // C0 and C1 controls
  };
  for (const auto& [text, json] : cases) EXPECT_EQ(jsonString(text), json) << text;
}

}  // namespace
}  // namespace korvex::cli
