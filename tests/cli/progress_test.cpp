// The copy progress text: unit boundaries, time formats, and a bar line that
// never outgrows its terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "json.h"
#include "progress.h"
#include "progress_columns.h"
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
    EXPECT_LE(columnsOf(line), static_cast<std::size_t>(width));
  }
  EXPECT_EQ(progressLine(1, 2, 1, 30).find('['), std::string::npos);
}

bool validUtf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = static_cast<unsigned char>(text[i]) < 0x80 ? 1 : utf8Length(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

// A single file's line names it first, as scp does, in a third of the line
// at most: a long name is cut in its middle, by the columns its letters
// take (two for CJK, none for a combining accent), never inside a letter,
// and shorter still to keep the bar.
TEST(ProgressTextTest, LineNamesTheFile) {
  std::string cjk, accented;
  for (int i = 0; i < 30; ++i) cjk += "写";  // two columns each
  for (int i = 0; i < 60; ++i) accented += "é";  // one column each
  const struct {
    std::string name;
    int width;
    std::string start;  // how the line starts
    bool bar;
  } cases[] = {
      {"clip.mp4", 100, "clip.mp4 [#####", true},
      {std::string(60, 'n'), 120, std::string(20, 'n') + "\u2026" + std::string(19, 'n') + " [#", true},
      {std::string(30, 'a') + "-" + std::string(30, 'z') + ".mp4", 90,
       std::string(9, 'a') + "\u2026" + std::string(5, 'z') + ".mp4 [#", true},
      {cjk, 120, cjk.substr(0, 3 * 10) + "\u2026" + cjk.substr(0, 3 * 9) + " [#", true},
      {accented, 120, accented.substr(0, 3 * 20) + "\u2026" + accented.substr(0, 3 * 19) + " [#", true},
      {"a\x1b[2J.jpg", 100, "a\\033[2J.jpg [", true},
      {"clip.mp4", 60, "clip.mp4   68%", false},  // too narrow for the bar
      {std::string(60, 'n'), 80, std::string(13, 'n') + "\u2026" + std::string(12, 'n') + "   68%", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string line = progressLine(std::int64_t{700} << 20, std::int64_t{1} << 30, 50e6, c.width, c.name);
    EXPECT_EQ(line.rfind(c.start, 0), 0u) << line;
    EXPECT_EQ(line.find('[') != std::string::npos, c.bar) << line;
    EXPECT_LE(columnsOf(line), static_cast<std::size_t>(c.width)) << line;
    EXPECT_TRUE(validUtf8(line)) << line;
  }
}

// Columns as a terminal counts them, and cuts that keep letters whole; a
// Windows console's ANSI bytes are a column each.
TEST(ProgressTextTest, NamesAreCutByTheColumnsTheirLettersTake) {
  const struct {
    std::string text;
    std::size_t room;
    ConsoleText console;
    std::size_t columns;
    std::string middle, end;
  } cases[] = {
      {"abcdefghij.jpg", 14, ConsoleText::utf8, 14, "abcdefghij.jpg", "abcdefghij.jpg"},
      {"abcdefghij.jpg", 9, ConsoleText::utf8, 14, "abcd\u2026.jpg", "abcdefgh\u2026"},
      {"\u5199\u771f\u5199\u771f.png", 7, ConsoleText::utf8, 12, "\u5199\u2026.png", "\u5199\u771f\u5199\u2026"},
      {"\U0001F600\U0001F600x", 4, ConsoleText::utf8, 5, "\U0001F600\u2026x", "\U0001F600\u2026"},
      {"e\u0301e\u0301e\u0301e\u0301", 3, ConsoleText::utf8, 4, "e\u0301\u2026e\u0301", "e\u0301e\u0301\u2026"},
      {"abcdef", 2, ConsoleText::utf8, 6, "a\u2026", "a\u2026"},
      {"\xe9t\xe9 photos.jpg", 10, ConsoleText::ansi, 14, "\xe9t\xe9 ...jpg", "\xe9t\xe9 pho..."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(columnsOf(c.text, c.console), c.columns);
    EXPECT_EQ(cutMiddle(c.text, c.room, c.console), c.middle);
    EXPECT_EQ(cutEnd(c.text, c.room, c.console), c.end);
    EXPECT_LE(columnsOf(cutMiddle(c.text, c.room, c.console), c.console), c.room);
  }
}

// The bar's length follows the width alone: numbers that grow and long
// names are cut before it, on an 80-column terminal too.
TEST(ProgressTextTest, TreeBarKeepsItsLengthWhateverTheNames) {
  std::string cjk;
  for (int i = 0; i < 100; ++i) cjk += "\u5199";
  const TreeProgress starting{0, std::int64_t{3} << 30, 0, 10, 0.0};
  const TreeProgress running{std::int64_t{3} << 29, std::int64_t{3} << 30, 4, 1000, 100.0 * (1 << 20)};
  const struct {
    int width;
    std::size_t bar;  // '[', the bar, ']'; 0: none
  } cases[] = {{140, 22}, {100, 22}, {79, 16}, {75, 12}, {74, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.width);
    for (const TreeProgress& progress : {starting, running}) {
      for (const std::vector<std::string>& names :
           {std::vector<std::string>{}, {"a.jpg"}, {std::string(200, 'n')}, {cjk, cjk + ".jpg", "b.jpg"}}) {
        const std::string line = treeProgressLine(progress, names, c.width);
        EXPECT_EQ(line.rfind('[', 0) == 0 ? line.find(']') + 1 : 0, c.bar) << line;
        EXPECT_LE(columnsOf(line), static_cast<std::size_t>(c.width)) << line;
        EXPECT_TRUE(validUtf8(line)) << line;
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
  // A long name is cut in its middle and keeps its extension; several share
  // the room, each keeping its own.
  const struct {
    std::vector<std::string> names;
    int width;
    std::string end;  // how the line ends
  } cut[] = {
      {{std::string(200, 'n') + ".jpg"}, 100, "  " + std::string(8, 'n') + "\u2026nnn.jpg"},
      {{std::string(50, 'a') + "1.jpg", std::string(50, 'b') + "2.jpg", "c.jpg"}, 140,
       "  " + std::string(11, 'a') + "\u2026aaaaaa1.jpg, " + std::string(12, 'b') + "\u2026bbbbbb2.jpg, c.jpg"},
      // At the least share each, the names beyond the width are cut off.
      {{std::string(50, 'a') + "1.jpg", std::string(50, 'b') + "2.jpg", "c.jpg"}, 100,
       "  aaaaaa\u20261.jpg, b\u2026"},
  };
  for (const auto& c : cut) {
    SCOPED_TRACE(c.width);
    const std::string line = treeProgressLine(halfway, c.names, c.width);
    EXPECT_TRUE(line.ends_with(c.end)) << line;
    EXPECT_EQ(columnsOf(line), static_cast<std::size_t>(c.width)) << line;
  }
  // Narrower than the numbers, the line itself is cut.
  for (int width : {60, 30, 3, 1, 0}) {
    SCOPED_TRACE(width);
    const std::string line = treeProgressLine(halfway, {std::string(200, 'n')}, width);
    EXPECT_EQ(columnsOf(line), static_cast<std::size_t>(width));
    if (width >= 1) {
      EXPECT_TRUE(line.ends_with("\u2026")) << line;
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
