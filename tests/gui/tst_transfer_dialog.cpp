// The status dialog and the log window drawing the session's model, the
// device thread and the hand-over to the UI thread.
#include <QApplication>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextDocument>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QLabel>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <future>
#include <thread>

#include "gui/device_thread.h"
#include "gui/log_window.h"
#include "gui/qt_session_host.h"
#include "gui/transfer_dialog.h"
#include "protocol/report.h"
#include "session/status_dialog.h"

using namespace corvane;

class TestStatusForm : public QObject {
  Q_OBJECT

 private slots:
  void progressFillsTheBarAndTheLabel() {
    LogModel log;
    StatusDialog model(log);
    TransferDialog form;
    model.Begin("Copying", true);
    QString label;
    int value = -1, maximum = -1;
    connect(&form, &TransferDialog::shown, this, [&] {
      model.Report("9/40 Kbytes\r\n(25%)\r\n3 Kbyte/s", kReportProgress, 10240, 40960);
      label = form.Label1()->text();
      value = form.ProgressBar2()->value();
      maximum = form.ProgressBar2()->maximum();
      model.Report("", kReportFinished, 0, 0);
    });
    form.Run(model);
    QCOMPARE(label, QStringLiteral("9/40 Kbytes\n(25%)\n3 Kbyte/s"));
    QCOMPARE(value * 4, maximum);
    QCOMPARE(form.windowTitle(), QStringLiteral("Copying"));
    QVERIFY(!form.isVisible());
    QCOMPARE(form.size(), QSize(256, 135));
  }

  void positionsPast2GiBStillShowTheRightShare() {
    LogModel log;
    StatusDialog model(log);
    TransferDialog form;
    model.Begin("Copying", true);
    connect(&form, &TransferDialog::shown, this, [&] {
      model.Report("x", kReportProgress, int64_t{3} << 31, int64_t{4} << 31);  // 6 GiB of 8 GiB
      QCOMPARE(form.ProgressBar2()->value() * 4, form.ProgressBar2()->maximum() * 3);
      model.Report("", kReportFinished, 0, 0);
    });
    form.Run(model);
  }

  void aFinalReportBeforeTheDialogShowsEndsItAtOnce() {
    LogModel log;
    StatusDialog model(log);
    TransferDialog form;
    QSignalSpy shown(&form, &TransferDialog::shown);
    model.Begin("Copying", true);
    model.Report("", kReportFinished, 0, 0);
    form.Run(model);  // must not wait for a report that came already
    QCOMPARE(shown.count(), 0);
    QCOMPARE(model.GetResult(), StatusDialog::Result::kOk);
  }

  void escapeAndCloseBoxAreRefusedWhileCancelIsDisabled() {
    LogModel log;
    StatusDialog model(log);
    TransferDialog form;
    model.Begin("Upgrade system", true);
    bool stayedAfterEscape = false, stayedAfterClose = false, buttonGrey = false;
    connect(&form, &TransferDialog::shown, this, [&] {
      model.Report("0", kReportCancelSwitch, 0, 0);
      buttonGrey = !form.BitBtn1()->isEnabled();
      QTest::keyClick(&form, Qt::Key_Escape);
      stayedAfterEscape = form.isVisible() && !model.Ended();
      form.close();
      stayedAfterClose = form.isVisible() && !model.Ended();
      model.Report("1", kReportCancelSwitch, 0, 0);
      QTest::keyClick(&form, Qt::Key_Escape);
    });
    form.Run(model);
    QVERIFY(buttonGrey);
    QVERIFY(stayedAfterEscape);
    QVERIFY(stayedAfterClose);
    QCOMPARE(model.GetResult(), StatusDialog::Result::kCancel);
  }

  void reportsAfterCancelOnlyReachTheLog() {
    LogModel log;
    StatusDialog model(log);
    TransferDialog form;
    LogWindow logForm(log);
    model.Begin("Copying", true);
    connect(&form, &TransferDialog::shown, this, [&] { QTest::mouseClick(form.BitBtn1(), Qt::LeftButton); });
    form.Run(model);
    QCOMPARE(model.GetResult(), StatusDialog::Result::kCancel);
    model.Report("Cancelled by the user", kReportMessage, 0, 0);
    model.Report("", kReportFinished, 0, 0);
    QVERIFY(!form.isVisible());
    QCOMPARE(form.Label1()->text(), QString());
    const QStringList lines = logForm.Memo1()->toPlainText().split('\n');
    QCOMPARE(lines, QStringList({"Cancelled by the user", ""}));
  }

  void theLogShowsEachEntryAndProgressAsThreeLines() {
    LogModel log;
    log.Append("before the window");
    LogWindow logForm(log);
    QCOMPARE(logForm.windowTitle(), QStringLiteral("Form4"));
    QCOMPARE(logForm.Memo1()->lineWrapMode(), QPlainTextEdit::NoWrap);
    for (int n = 1; n <= 3; ++n) log.Append(std::to_string(n) + "/3 Kbytes\r\n(33%)\r\n1 Kbyte/s");
    // An append from another thread arrives as well, on the UI thread.
    std::thread([&] { log.Append("from a worker"); }).join();
    QTRY_COMPARE(logForm.Memo1()->blockCount(), 1 + 9 + 1);
    QCOMPARE(logForm.Memo1()->document()->lastBlock().text(), QStringLiteral("from a worker"));
  }

  void theDeviceThreadKeepsTheWindowAliveAndReturnsErrors() {
    DeviceThread device;
    // While the job waits for the UI, the UI thread keeps handling events.
    std::promise<void> uiRan;
    QTimer::singleShot(10, this, [&] { uiRan.set_value(); });
    std::thread::id jobThread;
    device.Run([&] {
      jobThread = std::this_thread::get_id();
      uiRan.get_future().wait();
    });
    QVERIFY(jobThread != std::this_thread::get_id());

    // A second command while one runs is refused and nothing of it runs.
    bool secondRan = false;
    bool refused = false;
    std::promise<void> release;
    auto released = release.get_future().share();
    QTimer::singleShot(0, this, [&] {
      try {
        device.Run([&] { secondRan = true; });
      } catch (const DeviceBusy&) {
        refused = true;
      }
      release.set_value();
    });
    device.Run([&] { released.wait(); });
    QVERIFY(refused);
    QVERIFY(!secondRan);
    QVERIFY(!device.Busy());

    // The job's exception comes back on the UI thread with its text.
    try {
      device.Run([] { throw std::runtime_error("Error (gone)"); });
      QFAIL("no exception");
    } catch (const std::runtime_error& e) {
      QCOMPARE(QString::fromLatin1(e.what()), QStringLiteral("Error (gone)"));
    }

    // RunOnUiThread from the device thread runs on the UI thread and waits.
    std::thread::id ran;
    device.Run([&] { RunOnUiThread([&] { ran = std::this_thread::get_id(); }); });
    QCOMPARE(ran, std::this_thread::get_id());
    // ... and brings back what it threw.
    bool thrown = false;
    device.Run([&] {
      try {
        RunOnUiThread([] { throw std::runtime_error("ui"); });
      } catch (const std::runtime_error&) {
        thrown = true;
      }
    });
    QVERIFY(thrown);
  }
};

QTEST_MAIN(TestStatusForm)
#include "tst_transfer_dialog.moc"
