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

// A cancel before exit marks the program as ending only when it is
// accepted: a refused Ctrl-C (Cancel disabled) lets the transfer and its
// pauses run on. The window closing marks it in any case.
TEST(StatusDialog, TheProgramEndsWithACancelOnlyWhenTheCancelIsAccepted) {
  LogModel log;
  StatusDialog d(log);
  d.Begin("Upgrade system", true);
  d.Report("0", kReportCancelSwitch, 0, 0);
  EXPECT_FALSE(d.RequestCancel(true));
  EXPECT_FALSE(d.Cancel().Ending());
  EXPECT_FALSE(d.CancelFlag().load());
  d.Report("1", kReportCancelSwitch, 0, 0);
  EXPECT_TRUE(d.RequestCancel(true));
  EXPECT_TRUE(d.Cancel().Ending());
  EXPECT_TRUE(d.Cancel().Raised());
  // The next transfer starts uncancelled.
  d.Begin("Copying b.txt", true);
  EXPECT_FALSE(d.CancelFlag().load());

  StatusDialog closing(log);
  closing.Begin("Upgrade system", true);
  closing.Report("0", kReportCancelSwitch, 0, 0);
  closing.ProgramEnding();
  EXPECT_TRUE(closing.Cancel().Ending());
  EXPECT_FALSE(closing.CancelFlag().load());  // Cancel stays refused
  EXPECT_TRUE(closing.Shown());
}

TEST(StatusDialog, EveryReportReachesTheObserverAsDataAfterTheLogEvenWhenClosed) {
  LogModel log;
  StatusDialog d(log);
  std::vector<Report> seen;
  std::vector<size_t> logged;  // log entries when each report was seen
  d.OnReport = [&](const Report& r) {
    seen.push_back(r);
    logged.push_back(log.Count());
  };
  d.Begin("Copying", true);
  Report progress;
  progress.kind = kReportProgress;
  progress.phase = TransferPhase::kReceiving;
  progress.done = 1152;
  progress.total = 3000;
  progress.elapsedMs = 1500;
  d.Report(progress);
  ASSERT_TRUE(d.RequestCancel());
  Report message;
  message.text = "Connection error.";
  d.Report(message);
  Report finished;
  finished.kind = kReportFinished;
  d.Report(finished);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].done, 1152);
  EXPECT_EQ(seen[0].phase, TransferPhase::kReceiving);
  EXPECT_EQ(seen[0].elapsedMs, 1500u);
  EXPECT_EQ(seen[1].text, "Connection error.");
  EXPECT_EQ(seen[2].kind, kReportFinished);
  EXPECT_EQ(logged, (std::vector<size_t>{1, 2, 3}));
  EXPECT_EQ(log.Entries()[0], "1/2 Kbytes\r\n(38%)\r\n0 Kbyte/s");  // 1152 bytes over 1 whole second + 1
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
