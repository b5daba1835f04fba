// Copies in and out of the main window against the emulated device: Copy
// puts the fetched files on the clipboard, Paste and a drop put files into
// the folder shown, a drag fetches first; Cancel during a transfer, and
// closing the window right after it.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include "desktop/file_lists.h"
#include "desktop/local_files.h"
#include "gui/device_controller.h"
#include "gui/entry_list_model.h"
#include "gui/file_list_mime.h"
#include "gui/main_window.h"
#include "gui/transfer_dialog.h"
#include "gui_fixture.h"
#include "session/status_dialog.h"
#include "session/device_session.h"

using namespace corvane;
using corvane::test::Await;
using corvane::test::Browse;
using corvane::test::Device;
using corvane::test::ListNames;
using corvane::test::Select;
using corvane::test::WaitRefresh;
using corvane::test::Pattern;
using corvane::test::ReadBytes;
using corvane::test::WriteBytes;
namespace fs = std::filesystem;

class TestMainWindowTransfers : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::GuiSandbox> m_sandbox;

  // A window connected with "Auto" to `device` (or to nothing), its first
  // connect and listing done.
  std::unique_ptr<MainWindow> Open(Device* device, bool quillon) {
    return test::OpenWindow(device, quillon);
  }

 private slots:
  void init() { m_sandbox = std::make_unique<test::GuiSandbox>(); }
  void cleanup() {
    QApplication::clipboard()->clear();
    m_sandbox.reset();
  }

  void copyPutsFetchedFilesOnTheClipboard() {
    Device device(emu::DeviceKind::kQuillon);
    const std::string one = Pattern(3000, 1), two = Pattern(1500, 2);
    WriteBytes(device.Root() / "one.bin", one);
    WriteBytes(device.Root() / "caf\xE9.txt", two);  // a Latin-1 name
    WriteBytes(device.Root() / "other.bin", "zz");
    auto w = Open(&device, true);
    QVERIFY(w);
    QVERIFY(ListNames(*w).contains(QStringLiteral("caf\u00e9.txt")));
    Select(*w, {QStringLiteral("caf\u00e9.txt"), QStringLiteral("one.bin")});
    QVERIFY(w->Action("Copy1")->isEnabled());
    QVERIFY(Await(*w, [&] { w->CopyToClipboard(); }));
    QVERIFY2(m_sandbox->boxes.empty(), m_sandbox->boxes.empty() ? "" : qPrintable(m_sandbox->boxes[0].text));
    const QStringList files = w->DownloadFiles();
    QCOMPARE(files.size(), 2);
    // In list order: the device sorts by name bytewise, "caf\xE9" before "one".
    QCOMPARE(ReadBytes(QFile::encodeName(files[0]).toStdString()), two);
    QCOMPARE(ReadBytes(QFile::encodeName(files[1]).toStdString()), one);
    QVERIFY(files[0].endsWith(QStringLiteral("/caf\u00e9.txt")));
    const QString folder = QString::fromStdString(PrivateTempFolder());
    QVERIFY(files[0].startsWith(folder));
    QCOMPARE(QFileInfo(folder).permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteOther), 0);

    const QMimeData* mime = QApplication::clipboard()->mimeData();
    QVERIFY(mime);
    const QList<QUrl> urls = mime->urls();
    QCOMPARE(urls.size(), 2);
    QCOMPARE(urls[0].toLocalFile(), files[0]);
    QCOMPARE(urls[1].toLocalFile(), files[1]);
    QVERIFY(mime->data(kMimeGnomeCopiedFiles).startsWith("copy\nfile://"));
    QCOMPARE(mime->data(kMimeKdeCutSelection), QByteArray("0"));
    // The shell's formats ride along: copy as the drop effect, and the
    // device names the fetched files stand for.
    QCOMPARE(PreferredEffectOf(*mime), kDropEffectCopy);
    QCOMPARE(MappedNamesOf(*mime, 2), (QStringList{QStringLiteral("caf\u00e9.txt"), QStringLiteral("one.bin")}));
    // Copy changes nothing on the device: no refresh follows.
    QVERIFY(!w->RefreshPending());
    QVERIFY(device.PacketsOf('D').empty());
  }

  void namesThatMakeTheSameLocalNameStayApart() {
    Device device(emu::DeviceKind::kQuillon);
    WriteBytes(device.Root() / "x\x01y.txt", "first");
    WriteBytes(device.Root() / "x_y.txt", "second");
    auto w = Open(&device, true);
    QVERIFY(w);
    w->SelectAll();
    QVERIFY(Await(*w, [&] { w->CopyToClipboard(); }));
    QVERIFY(m_sandbox->boxes.empty());
    const QStringList files = w->DownloadFiles();
    QCOMPARE(files.size(), 2);
    QVERIFY(files[0] != files[1]);
    QCOMPARE(ReadBytes(QFile::encodeName(files[0]).toStdString()), std::string("first"));
    QCOMPARE(ReadBytes(QFile::encodeName(files[1]).toStdString()), std::string("second"));
    QVERIFY(files[1].endsWith(QStringLiteral("x_y (2).txt")));
  }

  void pasteAndDropPutFilesIntoTheFolderShown() {
    Device device(emu::DeviceKind::kQuillon);
    WriteBytes(device.Root() / "Docs" / "keep.txt", "k");
    auto w = Open(&device, true);
    QVERIFY(w);
    QVERIFY(Browse(*w, w->FolderTree()->topLevelItem(0)->child(0)));
    const fs::path local = QFile::encodeName(m_sandbox->Path()).toStdString();
    const std::string a = Pattern(2500, 3), b = Pattern(10, 4), c = Pattern(4097, 5);
    WriteBytes(local / "in" / "a.dat", a);
    WriteBytes(local / "in" / "b.dat", b);
    WriteBytes(local / "in" / "c.dat", c);

    // Text on the clipboard is not a file list: Paste stays off.
    QApplication::clipboard()->setText(QStringLiteral("just text"));
    w->UpdateEditCommands();
    QVERIFY(!w->Action("Paste1")->isEnabled());

    auto* mime = new QMimeData;
    mime->setUrls({QUrl::fromLocalFile(QString::fromStdString((local / "in" / "a.dat").string())),
                   QUrl::fromLocalFile(QString::fromStdString((local / "in" / "b.dat").string()))});
    QApplication::clipboard()->setMimeData(mime);
    w->UpdateEditCommands();
    QVERIFY(w->Action("Paste1")->isEnabled());
    QVERIFY(Await(*w, [&] { w->PasteFromClipboard(); }));
    QVERIFY2(m_sandbox->boxes.empty(), m_sandbox->boxes.empty() ? "" : qPrintable(m_sandbox->boxes[0].text));
    QCOMPARE(ReadBytes(device.Root() / "Docs" / "a.dat"), a);
    QCOMPARE(ReadBytes(device.Root() / "Docs" / "b.dat"), b);
    QVERIFY(WaitRefresh(*w));
    QCOMPARE(ListNames(*w), QStringList({"a.dat", "b.dat", "keep.txt"}));

    // A drop onto the list puts into the same folder, whatever the drop point.
    QSignalSpy done(w.get(), &MainWindow::commandDone);
    QMimeData drop;
    drop.setUrls({QUrl::fromLocalFile(QString::fromStdString((local / "in" / "c.dat").string()))});
    QWidget* viewport = static_cast<QAbstractScrollArea*>(w->CurrentListView())->viewport();
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction | Qt::MoveAction, &drop, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &enter);
    QVERIFY(enter.isAccepted());
    QCOMPARE(enter.dropAction(), Qt::CopyAction);
    QDropEvent dropEvent(QPointF(5, 5), Qt::CopyAction | Qt::MoveAction, &drop, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &dropEvent);
    QVERIFY(dropEvent.isAccepted());
    QCOMPARE(dropEvent.dropAction(), Qt::CopyAction);
    QVERIFY(done.wait(20000));
    QCOMPARE(ReadBytes(device.Root() / "Docs" / "c.dat"), c);

    // Text dragged over the list is refused.
    QMimeData text;
    text.setText(QStringLiteral("hello"));
    QDragEnterEvent textEnter(QPoint(5, 5), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &textEnter);
    QVERIFY(!textEnter.isAccepted());
  }

  void pasteRefusesNamesTheDeviceCannotCarry() {
    Device device(emu::DeviceKind::kQuillon);
    auto w = Open(&device, true);
    QVERIFY(w);
    const fs::path local = QFile::encodeName(m_sandbox->Path()).toStdString();
    const fs::path greek = local / "in" / "\xce\xb1\xce\xb2.txt";  // Greek letters, UTF-8
    WriteBytes(local / "in" / "ok.txt", "ok");
    WriteBytes(greek, "greek");
    auto* mime = new QMimeData;
    mime->setUrls({QUrl::fromLocalFile(QString::fromStdString((local / "in" / "ok.txt").string())),
                   QUrl::fromLocalFile(QFile::decodeName(QByteArray::fromStdString(greek.string())))});
    QApplication::clipboard()->setMimeData(mime);
    device.Emu().ClearRecords();
    QVERIFY(Await(*w, [&] { w->PasteFromClipboard(); }));
    QCOMPARE(m_sandbox->boxes.size(), size_t{1});
    QVERIFY(m_sandbox->boxes[0].text.contains(QStringLiteral("Latin-1")));
    QCOMPARE(m_sandbox->boxes[0].kind, MessageKind::kError);
    QVERIFY(device.PacketsOf('P').empty());  // nothing sent, not even the first file
    QVERIFY(!fs::exists(device.Root() / "ok.txt"));
  }

  void cancelDuringATransferLeavesNoFileAndAUsableWindow() {
    Device device(emu::DeviceKind::kQuillon, 9600);  // about a kilobyte a second
    WriteBytes(device.Root() / "slow.bin", Pattern(60000, 7));
    auto w = Open(&device, true);
    QVERIFY(w);
    QApplication::clipboard()->setText(QStringLiteral("before"));
    Select(*w, {"slow.bin"});
    bool closeRefused = false;
    bool cancelled = false;
    TransferDialog* status = w->StatusForm();
    bool busyShown = false;
    bool secondRefused = false;
    bool panelAfterRefusal = true;
    // Figures for the log (no assertion on time): Cancel to the dialog gone,
    // and to the window taking commands again.
    QElapsedTimer sinceCancel;
    connect(status, &TransferDialog::shown, this, [&] {
      // Closing the main window while a transfer runs is refused.
      closeRefused = !w->close() && w->isVisible();
      busyShown = w->Device().Busy();
      // So is a second device command: nothing of it reaches the device.
      w->DeleteSelected();
      w->RefreshFolder();
      secondRefused = device.PacketsOf('D').empty();
      // A refused command does not put up the busy panel over the transfer.
      panelAfterRefusal = w->BusyPanelVisible();
      QTimer::singleShot(300, status, [&, status] {
        cancelled = status->CancelButton()->isEnabled();
        sinceCancel.start();
        QTest::mouseClick(status->CancelButton(), Qt::LeftButton);
      });
    });
    qint64 toDialogClosed = -1;
    connect(status, &QDialog::finished, this, [&] { toDialogClosed = sinceCancel.elapsed(); });
    QVERIFY(Await(*w, [&] { w->CopyToClipboard(); }));
    qInfo("Cancel to transfer dialog closed: %lld ms; to the window taking commands: %lld ms", toDialogClosed,
          sinceCancel.elapsed());
    QVERIFY(cancelled);
    QVERIFY(closeRefused);
    QVERIFY(busyShown);
    QVERIFY(secondRefused);
    QVERIFY(!panelAfterRefusal);
    QVERIFY(fs::exists(device.Root() / "slow.bin"));
    QVERIFY(!status->isVisible());
    QCOMPARE(w->DownloadFiles().size(), 1);
    QVERIFY(!QFileInfo::exists(w->DownloadFiles()[0]));
    // Nothing half-written is left in the folder either.
    QCOMPARE(QFileInfo(w->DownloadFiles()[0]).dir().entryList(QDir::Files | QDir::Hidden).size(), 0);
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("before"));
    // The window works on: a refresh lists the folder again.
    QVERIFY(!w->BusyPanelVisible());
    device.Emu().WaitIdle(std::chrono::seconds(10));
    QVERIFY(Await(*w, [&] { w->RefreshFolder(); }));
    QCOMPARE(ListNames(*w), QStringList({"slow.bin"}));
    QVERIFY(w->Connected());
  }

  void closingAfterACancelClosesOnceTheCancelBytesAreOut() {
    Device device(emu::DeviceKind::kQuillon, 9600);
    WriteBytes(device.Root() / "slow.bin", Pattern(60000, 8));
    auto w = Open(&device, true);
    QVERIFY(w);
    Select(*w, {"slow.bin"});
    TransferDialog* status = w->StatusForm();
    bool closeRefusedWhileRunning = false;
    bool closeDeferred = false;
    QElapsedTimer sinceCancel;
    connect(status, &TransferDialog::shown, this, [&] {
      closeRefusedWhileRunning = !w->close() && w->isVisible();
      QTimer::singleShot(300, status, [&, status] {
        sinceCancel.start();
        QTest::mouseClick(status->CancelButton(), Qt::LeftButton);
        // Closed while the cancelled transfer winds down: it closes once that
        // has ended, and skips the pauses kept for a next command.
        closeDeferred = !w->close() && w->isVisible();
      });
    });
    QSignalSpy done(w.get(), &MainWindow::commandDone);
    w->CopyToClipboard();
    QTRY_VERIFY_WITH_TIMEOUT(!w->isVisible(), 30000);
    qInfo("Cancel, then close: the window closed after %lld ms", sinceCancel.elapsed());
    QVERIFY(closeRefusedWhileRunning);
    QVERIFY(closeDeferred);
    QCOMPARE(done.count(), 1);
    QVERIFY(w->Device().Session().Cancel().Ending());
    QVERIFY(!w->Device().Busy());
    QCOMPARE(w->DownloadFiles().size(), 1);
    QVERIFY(!QFileInfo::exists(w->DownloadFiles()[0]));
    QVERIFY(device.Emu().WaitIdle(std::chrono::seconds(10)));
  }

  void theListScrollsWhileADragRestsNearItsEdge() {
    Device device(emu::DeviceKind::kQuillon);
    for (int i = 0; i < 60; ++i) WriteBytes(device.Root() / ("f" + std::to_string(100 + i)), "x");
    auto w = Open(&device, true);
    QVERIFY(w);
    QAbstractItemView* view = w->CurrentListView();
    QScrollBar* bar = view->verticalScrollBar();
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), 0);
    const QString file = m_sandbox->Path() + QStringLiteral("/in/a.txt");
    WriteBytes(QFile::encodeName(file).toStdString(), "a");
    QMimeData files;
    files.setUrls({QUrl::fromLocalFile(file)});
    const QPoint nearBottom(20, view->viewport()->height() - 3);
    QDragEnterEvent enter(nearBottom, Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &enter);
    QVERIFY(enter.isAccepted());
    QDragMoveEvent move(nearBottom, Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &move);
    QVERIFY(move.isAccepted());
    QTRY_VERIFY(bar->value() > 0);
    QDragLeaveEvent leave;
    QApplication::sendEvent(view->viewport(), &leave);
  }

  void aDragFetchesFirstAndReusesWhatItFetched() {
    Device device(emu::DeviceKind::kQuillon);
    const std::string body = Pattern(2048, 9);
    WriteBytes(device.Root() / "drag.bin", body);
    auto w = Open(&device, true);
    QVERIFY(w);
    Select(*w, {"drag.bin"});
    QWidget* viewport = static_cast<QAbstractScrollArea*>(w->CurrentListView())->viewport();
    const QPoint start = w->CurrentListView()->visualRect(w->ListModel()->index(0, 0)).center();
    auto send = [&](QEvent::Type type, QPoint p, Qt::MouseButtons buttons) {
      QMouseEvent e(type, p, viewport->mapToGlobal(p), type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                    buttons, Qt::NoModifier);
      QApplication::sendEvent(viewport, &e);
    };
    auto drag = [&](int distance) {
      send(QEvent::MouseButtonPress, start, Qt::LeftButton);
      send(QEvent::MouseMove, start + QPoint(1, 0), Qt::LeftButton);
      send(QEvent::MouseMove, start + QPoint(distance, 0), Qt::LeftButton);
      send(QEvent::MouseButtonRelease, start + QPoint(distance, 0), Qt::NoButton);
    };
    device.Emu().ClearRecords();
    // Short of the drag distance nothing happens.
    drag(QApplication::startDragDistance() - 1);
    QVERIFY(device.PacketsOf('G').empty());
    // A drag fetches the selection first, under the transfer dialog. The
    // button is up by the time it has arrived, so no drag starts: the status
    // bar says the files are ready.
    QVERIFY(Await(*w, [&] { drag(QApplication::startDragDistance() + 2); }));
    QCOMPARE(device.PacketsOf('G').size(), size_t{1});
    QCOMPARE(ReadBytes(QFile::encodeName(w->DownloadFiles()[0]).toStdString()), body);
    QTRY_VERIFY(w->StatusText()->text().contains(QStringLiteral("ready")));
    QCOMPARE(w->DragsStarted(), 0);
    // The same unchanged file is not fetched again.
    device.Emu().ClearRecords();
    drag(QApplication::startDragDistance() + 2);
    QTest::qWait(0);
    QCOMPARE(device.PacketsOf('G').size(), size_t{0});
    QVERIFY(!w->Device().Busy());
    // And a command works afterwards.
    QVERIFY(Await(*w, [&] { w->RefreshFolder(); }));
    QCOMPARE(ListNames(*w), QStringList({"drag.bin"}));
  }

};

QTEST_MAIN(TestMainWindowTransfers)
#include "tst_main_window_transfers.moc"
