// The copy progress text: unit boundaries, time formats, and a bar line that
// never outgrows its terminal.
#include <gtest/gtest.h>

#include <algorithm>

#include "progress.h"

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

}  // namespace
}  // namespace korvex::cli
