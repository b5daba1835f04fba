// The progress report of block transfers: its exact text and its arithmetic.
#include <gtest/gtest.h>

#include "protocol/progress.h"
#include "protocol/report.h"

namespace corvane {
namespace {

TEST(ProgressText, BeforeTheFirstBlock) {
  EXPECT_EQ(FormatProgressText(0, 40960, 0), "0/40 Kbytes\r\n(0%)\r\n0 Kbyte/s");
  // A file shorter than 1 KiB shows 0 Kbytes in all.
  EXPECT_EQ(FormatProgressText(0, 1000, 0), "0/0 Kbytes\r\n(0%)\r\n0 Kbyte/s");
}

TEST(ProgressText, CountsBytesAndTruncates) {
  // 10 KiB done of 40 KiB after 4 whole seconds: 25%, 10240 / 5 / 1024 = 2.
  EXPECT_EQ(FormatProgressText(10240, 40960, 4), "10/40 Kbytes\r\n(25%)\r\n2 Kbyte/s");
  // 1024 of 2500 bytes: 102400 / 2500 = 40.96 -> 40.
  EXPECT_EQ(FormatProgressText(1024, 2500, 0), "1/2 Kbytes\r\n(40%)\r\n1 Kbyte/s");
  // A 128-byte block counts 128 bytes: 1152 of 2500 is 46%.
  EXPECT_EQ(FormatProgressText(1152, 2500, 0), "1/2 Kbytes\r\n(46%)\r\n1 Kbyte/s");
  // The end of a file that is no whole number of KiB.
  EXPECT_EQ(FormatProgressText(2500, 2500, 1), "2/2 Kbytes\r\n(100%)\r\n1 Kbyte/s");
  // A negative count reads as nothing done.
  EXPECT_EQ(FormatProgressText(-5, 2048, 0), "0/2 Kbytes\r\n(0%)\r\n0 Kbyte/s");
}

TEST(ProgressText, StaysRightPastThirtyTwoBits) {
  // 51199 KiB x 100 does not fit in 32 bits, signed or not.
  const int64_t total = 50LL * 1024 * 1024;
  EXPECT_EQ(FormatProgressText(51199LL * 1024, total, 9), "51199/51200 Kbytes\r\n(99%)\r\n5119 Kbyte/s");
  EXPECT_EQ(FormatProgressText(24576LL * 1024, 30LL * 1024 * 1024, 0), "24576/30720 Kbytes\r\n(80%)\r\n24576 Kbyte/s");
  // Beyond 4 GiB the byte counts themselves need 64 bits.
  const int64_t huge = 6LL * 1024 * 1024 * 1024;
  EXPECT_EQ(FormatProgressText(huge / 2, huge, 0), "3145728/6291456 Kbytes\r\n(50%)\r\n3145728 Kbyte/s");
}

TEST(ProgressReport, CarriesPhaseBytesAndTimeAndClampsDoneToTheTotal) {
  Report r = ProgressReport(TransferPhase::kReceiving, 10240, 40960, 4999);
  EXPECT_EQ(r.kind, kReportProgress);
  EXPECT_EQ(r.phase, TransferPhase::kReceiving);
  EXPECT_EQ(r.done, 10240);
  EXPECT_EQ(r.total, 40960);
  EXPECT_EQ(r.elapsedMs, 4999u);
  EXPECT_TRUE(r.text.empty());
  // The text is made at the edge, from whole seconds.
  EXPECT_EQ(ReportText(r), "10/40 Kbytes\r\n(25%)\r\n2 Kbyte/s");

  EXPECT_EQ(ProgressReport(TransferPhase::kSending, 5000, 4000, 0).done, 4000);
  EXPECT_EQ(ProgressReport(TransferPhase::kSending, -1, 4000, 0).done, 0);
  const Report none = ProgressReport(TransferPhase::kSending, 10, -3, 0);
  EXPECT_EQ(none.total, 0);
  EXPECT_EQ(none.done, 0);
  // 64 bits throughout.
  EXPECT_EQ(ProgressReport(TransferPhase::kUpgrading, 2999999LL * 1024, 4000000000LL, 0).done, 2999999LL * 1024);
}

TEST(ReportText, OtherReportsShowTheirOwnTextAndPhasesHaveNames) {
  Report r;
  r.kind = kReportStatus;
  r.text = "Copying x";
  EXPECT_EQ(ReportText(r), "Copying x");
  r.kind = kReportProgress;
  r.text = "Erasing";
  EXPECT_EQ(ReportText(r), "Erasing");
  EXPECT_STREQ(TransferPhaseName(TransferPhase::kReceiving), "receive");
  EXPECT_STREQ(TransferPhaseName(TransferPhase::kSending), "send");
  EXPECT_STREQ(TransferPhaseName(TransferPhase::kErasing), "erase");
  EXPECT_STREQ(TransferPhaseName(TransferPhase::kUpgrading), "upgrade");
  EXPECT_STREQ(TransferPhaseName(TransferPhase::kNone), "");
}

}  // namespace
}  // namespace corvane
