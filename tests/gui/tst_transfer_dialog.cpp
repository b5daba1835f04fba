// The transfer dialog and the log window drawing the session's model, and
// the device controller that brings the worker's results to the UI thread.
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

#include "gui/device_controller.h"
#include "gui/log_window.h"
#include "gui/qt_session_host.h"
#include "gui/transfer_dialog.h"
#include "protocol/report.h"
#include "session/device_session.h"
#include "session/status_dialog.h"
#include "fake_host.h"

using namespace corvane;

class TestStatusForm : public QObject {
  Q_OBJECT

 private slots:
  void progressFillsTheBarAndTheLabel() {
    LogModel log;
    StatusDialog model(log);
    TransferDialog form;
    model.OnChange = [&] { form.Sync(model); };
    model.Begin("Copying", true);
    QString label;
    int value = -1, maximum = -1;
    connect(&form, &TransferDialog::shown, this, [&] {
      model.Report("9/40 Kbytes\r\n(25%)\r\n3 Kbyte/s", kReportProgress, 10240, 40960);
      label = form.Label()->text();
      value = form.ProgressBar()->value();
      maximum = form.ProgressBar()->maximum();
      model.Report("", kReportFinished, 0, 0);
    });
    QTRY_VERIFY(model.Ended());
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
    model.OnChange = [&] { form.Sync(model); };
    model.Begin("Copying", true);
    model.Report("x", kReportProgress, int64_t{3} << 31, int64_t{4} << 31);  // 6 GiB of 8 GiB
    QCOMPARE(form.ProgressBar()->value() * 4, form.ProgressBar()->maximum() * 3);
    model.Report("", kReportFinished, 0, 0);
    QVERIFY(!form.isVisible());
  }

  void aFinalReportBeforeTheDialogShowsEndsItAtOnce() {
    LogModel log;
    StatusDialog model(log);
    TransferDialog form;
    QSignalSpy shown(&form, &TransferDialog::shown);
    model.Begin("Copying", true);
    model.Report("", kReportFinished, 0, 0);
    form.Sync(model);  // drawn late: the transfer has ended, nothing shows
    QCOMPARE(shown.count(), 0);
    QVERIFY(!form.isVisible());
    QCOMPARE(model.GetResult(), StatusDialog::Result::kOk);
  }

  void escapeAndCloseBoxAreRefusedWhileCancelIsDisabled() {
    LogModel log;
    StatusDialog model(log);
    TransferDialog form;
    model.OnChange = [&] { form.Sync(model); };
    model.Begin("Upgrade system", true);
    bool stayedAfterEscape = false, stayedAfterClose = false, buttonGrey = false;
    connect(&form, &TransferDialog::shown, this, [&] {
      model.Report("0", kReportCancelSwitch, 0, 0);
      buttonGrey = !form.CancelButton()->isEnabled();
      QTest::keyClick(&form, Qt::Key_Escape);
      stayedAfterEscape = form.isVisible() && !model.Ended();
      form.close();
      stayedAfterClose = form.isVisible() && !model.Ended();
      model.Report("1", kReportCancelSwitch, 0, 0);
      QTest::keyClick(&form, Qt::Key_Escape);
    });
    QTRY_VERIFY(model.Ended());
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
    model.OnChange = [&] { form.Sync(model); };
    model.Begin("Copying", true);
    connect(&form, &TransferDialog::shown, this, [&] { QTest::mouseClick(form.CancelButton(), Qt::LeftButton); });
    QTRY_VERIFY(model.Ended());
    QCOMPARE(model.GetResult(), StatusDialog::Result::kCancel);
    QVERIFY(model.CancelFlag().load());
    model.Report("Cancelled by the user", kReportMessage, 0, 0);
    model.Report("", kReportFinished, 0, 0);
    QVERIFY(!form.isVisible());
    QCOMPARE(form.Label()->text(), QString());
    const QStringList lines = logForm.TextArea()->toPlainText().split('\n');
    QCOMPARE(lines, QStringList({"Cancelled by the user", ""}));
  }

  void theLogShowsEachEntryAndProgressAsThreeLines() {
    LogModel log;
    log.Append("before the window");
    LogWindow logForm(log);
    QCOMPARE(logForm.windowTitle(), QStringLiteral("Form4"));
    QCOMPARE(logForm.TextArea()->lineWrapMode(), QPlainTextEdit::NoWrap);
    for (int n = 1; n <= 3; ++n) log.Append(std::to_string(n) + "/3 Kbytes\r\n(33%)\r\n1 Kbyte/s");
    // An append from another thread arrives as well, on the UI thread.
    std::thread([&] { log.Append("from a worker"); }).join();
    QTRY_COMPARE(logForm.TextArea()->blockCount(), 1 + 9 + 1);
    QCOMPARE(logForm.TextArea()->document()->lastBlock().text(), QStringLiteral("from a worker"));
  }

  void theDeviceControllerRunsOnTheDeviceThreadAndBringsResultsBack() {
    test::FakeHost host;
    LogModel log;
    DeviceController device(host, log);
    QSignalSpy finished(&device, &DeviceController::finished);
    QSignalSpy refused(&device, &DeviceController::refused);

    // The operation runs on the device thread; its result on the UI thread,
    // while the UI thread keeps handling events meanwhile.
    std::promise<void> uiRan;
    std::thread::id opThread, doneThread;
    bool doneBusy = false;
    QTimer::singleShot(10, this, [&] { uiRan.set_value(); });
    QVERIFY(device.Run(
        [&](DeviceSession&) {
          opThread = std::this_thread::get_id();
          uiRan.get_future().wait();
        },
        [&](const std::optional<DeviceError>& error) {
          QVERIFY(!error);
          doneThread = std::this_thread::get_id();
          doneBusy = device.Busy();  // nothing slips in before the result is taken
        }));
    // A second command while one runs is refused with the busy text, and nothing of it runs.
    bool secondRan = false;
    QVERIFY(!device.Run([&](DeviceSession&) { secondRan = true; }, {}));
    QCOMPARE(refused.count(), 1);
    QCOMPARE(refused[0][0].toString(), QString::fromLatin1(kDeviceBusyText));
    QVERIFY(finished.wait(5000));
    QVERIFY(opThread != std::this_thread::get_id());
    QCOMPARE(doneThread, std::this_thread::get_id());
    QVERIFY(doneBusy);
    QVERIFY(!secondRan);
    QTRY_VERIFY(!device.Busy());

    // An operation's failure comes back typed, with its text.
    std::optional<DeviceError> got;
    QVERIFY(device.Run([](DeviceSession& s) { s.CheckConnected(); },
                       [&](const std::optional<DeviceError>& error) { got = error; }));
    QVERIFY(finished.wait(5000));
    QVERIFY(got.has_value());
    QCOMPARE(got->Kind(), ErrorKind::kNoConnection);
    QCOMPARE(QString::fromLatin1(got->what()),
             QStringLiteral("Error (No device connected. Check you are in Xmodem server (RShift LeftArrow))"));
  }
};

QTEST_MAIN(TestStatusForm)
#include "tst_transfer_dialog.moc"
