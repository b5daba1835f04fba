#include <gtest/gtest.h>

#include "session/status_dialog.h"

namespace corvane {
namespace {

TEST(StatusDialog, ReportsDriveLabelProgressAndTheEnd) {
  LogModel log;
  StatusDialog d(log);
  d.Begin("Copying a.txt", true);
  EXPECT_EQ(d.ProgressMax(), 1);
  d.Report("1/40 Kbytes\r\n(2%)\r\n0 Kbyte/s", kReportProgress, 10240, 40960);
  EXPECT_EQ(d.Label(), "1/40 Kbytes\r\n(2%)\r\n0 Kbyte/s");
  EXPECT_EQ(d.ProgressPosition() * 4, d.ProgressMax());
  d.Report("", kReportFinished, 0, 0);
  EXPECT_TRUE(d.Ended());
  EXPECT_EQ(d.GetResult(), StatusDialog::Result::kOk);
  EXPECT_EQ(log.Count(), 2u);
}

TEST(StatusDialog, CancelSwitchRefusesTheUsersCloseButNotTheFinish) {
  LogModel log;
  StatusDialog d(log);
  d.Begin("Upgrade system", true);
  d.Report("0", kReportCancelSwitch, 0, 0);
  EXPECT_FALSE(d.CancelEnabled());
  EXPECT_FALSE(d.RequestCancel());
  EXPECT_FALSE(d.Ended());
  d.Report("1", kReportCancelSwitch, 0, 0);
  d.Report("01", kReportCancelSwitch, 0, 0);  // only exactly "1" enables
  EXPECT_FALSE(d.CancelEnabled());
  d.Report("Device Rebooted", kReportFinished, 0, 0);
  EXPECT_EQ(d.GetResult(), StatusDialog::Result::kOk);
}

TEST(StatusDialog, ReportsAfterCancelOnlyReachTheLog) {
  LogModel log;
  StatusDialog d(log);
  d.Begin("Copying", true);
  EXPECT_TRUE(d.RequestCancel());
  EXPECT_EQ(d.GetResult(), StatusDialog::Result::kCancel);
  d.Report("Connection error.\r\nPlease check your connections.", kReportMessage, 0, 0);
  d.Report("", kReportFinished, 0, 0);
  EXPECT_EQ(d.GetResult(), StatusDialog::Result::kCancel);
  EXPECT_EQ(d.Label(), "");
  EXPECT_EQ(log.Count(), 2u);
}

TEST(StatusDialog, AFinishBeforeTheModalWaitStillEndsIt) {
  LogModel log;
  StatusDialog d(log);
  d.Begin("Receiving Screen", true);
  d.Report("", kReportFinished, 0, 0);  // the worker was quicker than the dialog
  EXPECT_TRUE(d.Ended());
  // A new Begin resets everything.
  d.Begin("Again", false);
  EXPECT_FALSE(d.Ended());
  EXPECT_FALSE(d.CancelVisible());
  EXPECT_TRUE(d.CancelEnabled());
  EXPECT_EQ(d.Label(), "");
}

}  // namespace
}  // namespace corvane
