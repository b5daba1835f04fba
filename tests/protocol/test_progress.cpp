// The progress report of block transfers: its exact text and its arithmetic.
#include <gtest/gtest.h>

#include "fake_clock.h"
#include "protocol/progress.h"
#include "transfer_peers.h"

namespace corvane {
namespace {

using test::FakeClock;
using test::Reports;

TEST(ProgressText, BeforeTheFirstBlock) {
  EXPECT_EQ(FormatProgressText(1, 40960, 0), "0/40 Kbytes\r\n(0%)\r\n0 Kbyte/s");
  // A file shorter than 1 KiB shows 0 Kbytes in all.
  EXPECT_EQ(FormatProgressText(1, 1000, 0), "0/0 Kbytes\r\n(0%)\r\n0 Kbyte/s");
}

TEST(ProgressText, CountsEveryEarlierBlockAsOneKilobyteAndTruncates) {
  // 10 blocks done of 40 KiB after 4 whole seconds: 25%, 10240 / 5 / 1024 = 2.
  EXPECT_EQ(FormatProgressText(11, 40960, 4), "10/40 Kbytes\r\n(25%)\r\n2 Kbyte/s");
  // 1 of 3 blocks of a 2500-byte file: 102400 / 2500 = 40.96 -> 40.
  EXPECT_EQ(FormatProgressText(2, 2500, 0), "1/2 Kbytes\r\n(40%)\r\n1 Kbyte/s");
  // Blocks past the end (the receiver's count of 128-byte blocks) may pass 100%.
  EXPECT_EQ(FormatProgressText(4, 2048, 0), "3/2 Kbytes\r\n(150%)\r\n3 Kbyte/s");
}

TEST(ProgressText, StaysRightPastThirtyTwoBits) {
  // 51199 x 102400 = 5 242 777 600 does not fit in 32 bits, signed or not.
  const int64_t total = 50LL * 1024 * 1024;
  EXPECT_EQ(FormatProgressText(51200, total, 9), "51199/51200 Kbytes\r\n(99%)\r\n5119 Kbyte/s");
  // 24 MiB into 30 MiB: 24576 x 102400 overflows a signed 32-bit product.
  EXPECT_EQ(FormatProgressText(24577, 30LL * 1024 * 1024, 0), "24576/30720 Kbytes\r\n(80%)\r\n24576 Kbyte/s");
  // Beyond 4 GiB the byte counts themselves need 64 bits.
  const int64_t huge = 6LL * 1024 * 1024 * 1024;
  EXPECT_EQ(FormatProgressText(3LL * 1024 * 1024 + 1, huge, 0), "3145728/6291456 Kbytes\r\n(50%)\r\n3145728 Kbyte/s");
}

TEST(FormatProgress, ReportsTextPositionAndMaxFromTheStartTick) {
  FakeClock clock;
  Reports reports;
  const uint64_t start = clock.NowMs();
  clock.Advance(4999);  // 4 whole seconds
  FormatProgress(11, 40960, start, clock, reports.Handler());
  const auto lines = reports.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].kind, kReportProgress);
  EXPECT_EQ(lines[0].text, "10/40 Kbytes\r\n(25%)\r\n2 Kbyte/s");
  EXPECT_EQ(lines[0].position, 10240);
  EXPECT_EQ(lines[0].max, 40960);

  // Position is 64-bit too.
  FormatProgress(3000000, 4000000000LL, start, clock, reports.Handler());
  EXPECT_EQ(reports.Lines().back().position, 2999999LL * 1024);
}

TEST(FormatProgress, NothingForAnUnknownOrEmptyLength) {
  FakeClock clock;
  Reports reports;
  FormatProgress(1, 0, clock.NowMs(), clock, reports.Handler());
  FormatProgress(5, -3, clock.NowMs(), clock, reports.Handler());
  EXPECT_TRUE(reports.Lines().empty());
}

}  // namespace
}  // namespace corvane
