// A run of transfers under one dialog: it stays shown between transfers, a
// Cancel pressed between them is not forgotten by the next transfer, and the
// end of the run closes it with the right result.
#include <gtest/gtest.h>

#include "session/status_dialog.h"

namespace corvane {
namespace {

TEST(StatusDialogJob, StaysShownAcrossTransfersAndClosesAtItsEnd) {
  LogModel log;
  StatusDialog d(log);
  int changes = 0;
  d.OnChange = [&] { ++changes; };
  d.BeginJob("Backing up the device");
  d.SetJobProgress("1 of 2 files");
  EXPECT_EQ(d.Caption(), "Backing up the device: 1 of 2 files");
  d.Begin("Copying a", true);
  d.Report("", kReportProgress, 10, 10);
  d.Report("", kReportFinished, 0, 0);
  EXPECT_TRUE(d.Shown());
  EXPECT_FALSE(d.Ended());
  d.SetJobProgress("2 of 2 files");
  EXPECT_EQ(d.ProgressPosition(), 0);  // the last file's full bar is not left standing
  d.Begin("Copying b", true);
  EXPECT_EQ(d.Caption(), "Backing up the device: 2 of 2 files");
  d.Report("", kReportFinished, 0, 0);
  d.EndJob();
  EXPECT_FALSE(d.Shown());
  EXPECT_EQ(d.GetResult(), StatusDialog::Result::kOk);
  EXPECT_FALSE(d.InJob());
  EXPECT_GT(changes, 0);
  EXPECT_EQ(log.Count(), 3u);  // every report is logged
}

TEST(StatusDialogJob, ACancelBetweenTransfersSurvivesTheNextBeginAndEndsTheJobCancelled) {
  LogModel log;
  StatusDialog d(log);
  d.BeginJob("Copying /docs");
  d.Begin("Copying a", true);
  d.Report("", kReportFinished, 0, 0);
  EXPECT_TRUE(d.RequestCancel());  // between transfers: the job's dialog takes it
  EXPECT_TRUE(d.CancelFlag().load());
  d.Begin("Copying b", true);
  EXPECT_TRUE(d.CancelFlag().load());
  EXPECT_FALSE(d.Shown());
  d.EndJob();
  EXPECT_EQ(d.GetResult(), StatusDialog::Result::kCancel);
  // A transfer after the job starts afresh.
  d.Begin("Copying c", true);
  EXPECT_FALSE(d.CancelFlag().load());
  EXPECT_TRUE(d.Shown());
}

TEST(StatusDialogJob, ACancelSwitchOfOneTransferDoesNotOutliveIt) {
  LogModel log;
  StatusDialog d(log);
  d.BeginJob("Restoring the device");
  d.Begin("Copying a", true);
  d.Report("0", kReportCancelSwitch, 0, 0);
  EXPECT_FALSE(d.RequestCancel());
  d.Report("", kReportFinished, 0, 0);
  d.Begin("Copying b", true);
  EXPECT_TRUE(d.CancelEnabled());
  EXPECT_TRUE(d.RequestCancel());
  d.EndJob();
}

}  // namespace
}  // namespace corvane
