// Copying out of the main window against the emulated device: what a drag
// may take from the private folder without fetching, the private folder's
// leftovers, and Copy of a selection that holds an empty folder, with the
// keys a user presses.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QLabel>
#include <QMimeData>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>

#include "desktop/local_files.h"
#include "emulator/device_files.h"
#include "gui/device_controller.h"
#include "gui/entry_list_model.h"
#include "gui/main_window.h"
#include "gui_fixture.h"
#include "gui/transfer_dialog.h"
#include "session/device_session.h"
#include "session/status_dialog.h"

using namespace corvane;
using corvane::test::Await;
using corvane::test::Select;
using corvane::test::Device;
using corvane::test::Pattern;
using corvane::test::ReadBytes;
using corvane::test::WriteBytes;
namespace fs = std::filesystem;

class TestMainWindowCopy : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::GuiSandbox> m_sandbox;

  std::unique_ptr<MainWindow> Open(Device& device, bool quillon) {
    return test::OpenWindow(&device, quillon);
  }
  static Bytes Tallis(const std::string& body) {
    return emu::MakeTallisHeader(static_cast<uint32_t>(body.size())) + body;
  }
  static QString BoxText(const test::GuiSandbox& s) { return s.boxes.empty() ? QString() : s.boxes[0].text; }
  // A left-button drag of the selection, `distance` pixels from its first
  // row, as the mouse gives it; the button is up again at the end, so a drag
  // that fetched only says that the files are ready.
  static void DragSelection(MainWindow& w, int distance) {
    QWidget* viewport = static_cast<QAbstractScrollArea*>(w.CurrentListView())->viewport();
    const QPoint start = w.CurrentListView()->visualRect(w.ListModel()->index(0, 0)).center();
    auto send = [&](QEvent::Type type, QPoint p, Qt::MouseButtons buttons) {
      QMouseEvent e(type, p, viewport->mapToGlobal(p), type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                    buttons, Qt::NoModifier);
      QApplication::sendEvent(viewport, &e);
    };
    send(QEvent::MouseButtonPress, start, Qt::LeftButton);
    send(QEvent::MouseMove, start + QPoint(1, 0), Qt::LeftButton);
    send(QEvent::MouseMove, start + QPoint(distance, 0), Qt::LeftButton);
    send(QEvent::MouseButtonRelease, start + QPoint(distance, 0), Qt::NoButton);
  }
  // Drags the selection out; true when the device was asked for a file.
  static bool DragFetches(MainWindow& w, Device& device) {
    device.Emu().ClearRecords();
    QSignalSpy done(&w, &MainWindow::commandDone);
    DragSelection(w, QApplication::startDragDistance() + 2);
    if (device.PacketsOf('G').empty() && !w.Device().Busy()) return false;
    return (done.count() > 0 || done.wait(30000)) && !device.PacketsOf('G').empty();
  }
  static bool Refresh(MainWindow& w) {
    QSignalSpy done(&w, &MainWindow::commandDone);
    w.RefreshFolder();
    return done.wait(20000);
  }
  static std::string Local(const QString& path) { return QFile::encodeName(path).toStdString(); }

 private slots:
  void init() { m_sandbox = std::make_unique<test::GuiSandbox>(); }
  void cleanup() {
    QApplication::clipboard()->clear();
    m_sandbox.reset();
  }

  // Select all and Ctrl+C in a Tallis root that holds an empty folder: the
  // files and the empty folder go on the clipboard; then Ctrl+V with a file
  // list of the user's puts those files, and fetches nothing.
  void ctrlCOfASelectionWithAnEmptyFolderPutsItOnTheClipboard() {
    Device device(emu::DeviceKind::kTallis);
    WriteBytes(device.Root() / "a.txt", Tallis(Pattern(700, 1)));
    WriteBytes(device.Root() / "b.txt", Tallis(Pattern(90, 2)));
    fs::create_directories(device.Root() / "Empty");
    auto w = Open(device, false);
    QVERIFY(w);
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    QAbstractItemView* view = w->CurrentListView();
    view->setFocus();
    QCOMPARE(w->ListModel()->rowCount(), 3);
    view->setCurrentIndex(w->ListModel()->index(0, 0));
    QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(w->ListSelection()->selectedRows().size(), 3);
    QVERIFY(Await(*w, [&] { QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier); }));
    QVERIFY2(m_sandbox->boxes.empty(), qPrintable(BoxText(*m_sandbox)));
    const QMimeData* mime = QApplication::clipboard()->mimeData();
    QVERIFY(mime);
    QCOMPARE(mime->urls().size(), 3);
    QStringList shown;
    for (const QUrl& u : mime->urls()) shown << QFileInfo(u.toLocalFile()).fileName();
    QCOMPARE(shown, (QStringList{"Empty", "a.txt", "b.txt"}));
    const QFileInfo empty(mime->urls()[0].toLocalFile());
    QVERIFY(empty.isDir());
    QVERIFY(QDir(empty.filePath()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
    QCOMPARE(ReadBytes(QFile::encodeName(mime->urls()[1].toLocalFile()).toStdString()),
             std::string(Tallis(Pattern(700, 1))));

    // Ctrl+V with the user's own file list puts those files.
    const fs::path local = QFile::encodeName(m_sandbox->Path()).toStdString();
    WriteBytes(local / "in" / "new.txt", Tallis("new"));
    auto* files = new QMimeData;
    files->setUrls({QUrl::fromLocalFile(QString::fromStdString((local / "in" / "new.txt").string()))});
    QApplication::clipboard()->setMimeData(files);
    device.Emu().ClearRecords();
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    QVERIFY(Await(*w, [&] { QTest::keyClick(view, Qt::Key_V, Qt::ControlModifier); }));
    QVERIFY2(m_sandbox->boxes.empty(), qPrintable(BoxText(*m_sandbox)));
    QVERIFY(device.PacketsOf('G').empty());
    QCOMPARE(device.PacketsOf('P').size(), size_t{1});
    QCOMPARE(ReadBytes(device.Root() / "new.txt"), std::string(Tallis("new")));

    // The empty folder alone: a run with nothing to transfer still ends
    // with the folder on the clipboard, and the dialog closed as done.
    Select(*w, {"Empty"});
    QVERIFY(Await(*w, [&] { w->CopyToClipboard(); }));
    QVERIFY2(m_sandbox->boxes.empty(), qPrintable(BoxText(*m_sandbox)));
    const QMimeData* alone = QApplication::clipboard()->mimeData();
    QVERIFY(alone);
    QCOMPARE(alone->urls().size(), 1);
    QVERIFY(QFileInfo(alone->urls()[0].toLocalFile()).isDir());
    QCOMPARE(w->Device().Session().GetStatusDialog().GetResult(), StatusDialog::Result::kOk);
    QVERIFY(!w->StatusForm()->isVisible());
  }

  // With nothing selected Copy is off: Ctrl+C in the list or the tree then
  // leaves the clipboard as it was (the views' own text copy would put the
  // current row's name there, over the user's file list).
  void ctrlCWithNothingSelectedLeavesTheClipboardAlone() {
    Device device(emu::DeviceKind::kQuillon);
    WriteBytes(device.Root() / "a.txt", "a");
    fs::create_directories(device.Root() / "Docs");
    auto w = Open(device, true);
    QVERIFY(w);
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    const fs::path mine = fs::path(QFile::encodeName(m_sandbox->Path()).toStdString()) / "mine.txt";
    WriteBytes(mine, "mine");
    auto* files = new QMimeData;
    files->setUrls({QUrl::fromLocalFile(QString::fromStdString(mine.string()))});
    QApplication::clipboard()->setMimeData(files);
    QAbstractItemView* view = w->CurrentListView();
    view->setFocus();
    view->setCurrentIndex(w->ListModel()->index(0, 0));
    w->ListSelection()->clearSelection();
    QVERIFY(!w->Action("Copy1")->isEnabled());
    device.Emu().ClearRecords();
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    w->FolderTree()->setFocus();
    QTest::keyClick(w->FolderTree(), Qt::Key_C, Qt::ControlModifier);
    const QMimeData* now = QApplication::clipboard()->mimeData();
    QVERIFY(now);
    QCOMPARE(now->urls(), QList<QUrl>{QUrl::fromLocalFile(QString::fromStdString(mine.string()))});
    QVERIFY(device.PacketsOf('G').empty());
    QVERIFY(!w->Device().Busy());
  }

  // A Copy refused while another command runs does not change what that
  // command puts on the clipboard.
  void aCopyRefusedWhileOneRunsLeavesTheRunningOneAlone() {
    Device device(emu::DeviceKind::kQuillon, 115200);
    const std::string one = Pattern(20000, 3);
    WriteBytes(device.Root() / "one.bin", one);
    WriteBytes(device.Root() / "two.bin", "two");
    auto w = Open(device, true);
    QVERIFY(w);
    Select(*w, {"one.bin"});
    QSignalSpy done(w.get(), &MainWindow::commandDone);
    w->CopyToClipboard();
    QVERIFY(w->Device().Busy());
    Select(*w, {"two.bin"});
    w->CopyToClipboard();  // refused: busy
    QVERIFY(done.count() > 0 || done.wait(30000));
    const QMimeData* mime = QApplication::clipboard()->mimeData();
    QVERIFY(mime);
    QCOMPARE(mime->urls().size(), 1);
    QVERIFY(mime->urls()[0].toLocalFile().endsWith(QStringLiteral("/one.bin")));
    QCOMPARE(ReadBytes(Local(mime->urls()[0].toLocalFile())), one);
    QCOMPARE(device.PacketsOf('G').size(), size_t{1});
  }

  // A private folder that cannot be used: Copy and a drag say why and what
  // to do, fetch nothing and change nothing; once it is usable again they work.
  void anUnusablePrivateFolderIsReportedAndLeavesNothingBehind() {
    Device device(emu::DeviceKind::kQuillon);
    WriteBytes(device.Root() / "a.bin", "abc");
    auto w = Open(device, true);
    QVERIFY(w);
    const fs::path priv = PrivateTempFolder();
    const fs::path elsewhere = fs::path(QFile::encodeName(m_sandbox->Path()).toStdString()) / "elsewhere";
    fs::create_directories(elsewhere);
    fs::remove_all(priv);
    fs::create_directory_symlink(elsewhere, priv);
    QApplication::clipboard()->setText(QStringLiteral("kept"));
    Select(*w, {"a.bin"});
    device.Emu().ClearRecords();
    w->CopyToClipboard();
    DragSelection(*w, QApplication::startDragDistance() + 2);
    QCOMPARE(m_sandbox->boxes.size(), size_t{2});
    QVERIFY2(m_sandbox->boxes[0].text.contains(QStringLiteral("symbolic link")), qPrintable(BoxText(*m_sandbox)));
    QVERIFY(m_sandbox->boxes[0].text.contains(QStringLiteral("TMPDIR")));
    QVERIFY(!w->Device().Busy());
    QVERIFY(device.PacketsOf('G').empty());
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("kept"));
    QVERIFY(fs::is_empty(elsewhere));

    fs::remove(priv);
    m_sandbox->boxes.clear();
    QVERIFY(Await(*w, [&] { w->CopyToClipboard(); }));
    QVERIFY2(m_sandbox->boxes.empty(), qPrintable(BoxText(*m_sandbox)));
    QCOMPARE(device.PacketsOf('G').size(), size_t{1});
    QCOMPARE(QApplication::clipboard()->mimeData()->urls().size(), 1);
  }

  // TMPDIR naming a folder that is not there: Copy says so in a box, and the
  // window goes on (the next Copy, with a usable TMPDIR, works).
  void aTemporaryFolderThatIsNotThereIsReportedAndTheWindowGoesOn() {
    Device device(emu::DeviceKind::kQuillon);
    WriteBytes(device.Root() / "a.bin", "abc");
    auto w = Open(device, true);
    QVERIFY(w);
    const QByteArray kept = qgetenv("TMPDIR");
    qputenv("TMPDIR", "/nonexistent");
    Select(*w, {"a.bin"});
    device.Emu().ClearRecords();
    w->CopyToClipboard();
    qputenv("TMPDIR", kept);
    QCOMPARE(m_sandbox->boxes.size(), size_t{1});
    QVERIFY2(m_sandbox->boxes[0].text.contains(QStringLiteral("/nonexistent")), qPrintable(BoxText(*m_sandbox)));
    QVERIFY2(m_sandbox->boxes[0].text.contains(QStringLiteral("No such file or directory")),
             qPrintable(BoxText(*m_sandbox)));
    QVERIFY(!w->Device().Busy());
    QVERIFY(device.PacketsOf('G').empty());
    m_sandbox->boxes.clear();
    QVERIFY(Await(*w, [&] { w->CopyToClipboard(); }));
    QVERIFY2(m_sandbox->boxes.empty(), qPrintable(BoxText(*m_sandbox)));
    QCOMPARE(device.PacketsOf('G').size(), size_t{1});
  }

  // A drag takes a copy without fetching only when this window fetched it
  // from this device since the listing it shows.
  void aDragReusesOnlyWhatThisWindowFetchedUnderTheListingShown() {
    Device device(emu::DeviceKind::kQuillon);
    const std::string first = Pattern(2048, 1), second = Pattern(2048, 2);
    WriteBytes(device.Root() / "drag.bin", first);
    auto w = Open(device, true);
    QVERIFY(w);
    Select(*w, {"drag.bin"});
    QVERIFY(DragFetches(*w, device));
    const std::string copy = Local(w->DownloadFiles()[0]);
    QCOMPARE(ReadBytes(copy), first);
    QVERIFY(!DragFetches(*w, device));  // fetched under this listing: taken as it is

    // The device's file changes, its size does not; the window lists it again.
    WriteBytes(device.Root() / "drag.bin", second);
    QVERIFY(Refresh(*w));
    Select(*w, {"drag.bin"});
    QVERIFY(DragFetches(*w, device));
    QCOMPARE(ReadBytes(Local(w->DownloadFiles()[0])), second);
    QVERIFY(!DragFetches(*w, device));

    // Something else writes the copy (same size): it is not what was fetched.
    WriteBytes(Local(w->DownloadFiles()[0]), first);
    QVERIFY(DragFetches(*w, device));
    QCOMPARE(ReadBytes(Local(w->DownloadFiles()[0])), second);

    // Another connection (here to the same device): nothing fetched before counts.
    QVERIFY(Await(*w, [&] { w->Reconnect(); }));
    QVERIFY(w->Connected());
    Select(*w, {"drag.bin"});
    QVERIFY(DragFetches(*w, device));
    QCOMPARE(ReadBytes(Local(w->DownloadFiles()[0])), second);

    // Copy always fetches, and a drag may then take what Copy fetched.
    device.Emu().ClearRecords();
    QVERIFY(Await(*w, [&] { w->CopyToClipboard(); }));
    QCOMPARE(device.PacketsOf('G').size(), size_t{1});
    QVERIFY(!DragFetches(*w, device));
  }

  // What an earlier run or another device left in the private folder is
  // cleared at start and never dragged; this run's copies go with the window.
  void copiesLeftByEarlierRunsAreClearedAndNeverReused() {
    const fs::path priv = PrivateTempFolder();
    const std::string stale = Pattern(2048, 7);
    WriteBytes(priv / "folder-0123456789abcdef" / "drag.bin", stale);
    WriteBytes(priv / "run-old001" / "folder-0123456789abcdef" / "drag.bin", stale);
    WriteBytes(priv / "Bitmap.bmp", "a capture");
    Device device(emu::DeviceKind::kQuillon);
    const std::string body = Pattern(2048, 8);
    WriteBytes(device.Root() / "drag.bin", body);
    QString runFolder;
    {
      auto w = Open(device, true);
      QVERIFY(w);
      QVERIFY(!fs::exists(priv / "folder-0123456789abcdef"));
      QVERIFY(!fs::exists(priv / "run-old001"));
      QCOMPARE(ReadBytes(priv / "Bitmap.bmp"), std::string("a capture"));
      Select(*w, {"drag.bin"});
      QVERIFY(DragFetches(*w, device));
      QCOMPARE(ReadBytes(Local(w->DownloadFiles()[0])), body);
      runFolder = QFileInfo(w->DownloadFiles()[0]).dir().absolutePath();
      runFolder = QFileInfo(runFolder).dir().absolutePath();
      QVERIFY(runFolder.startsWith(QString::fromStdString(priv.string()) + QLatin1Char('/')));
      QVERIFY(QFileInfo(runFolder).isDir());
      QCOMPARE(QFileInfo(runFolder).permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::ExeOther), 0);

      // A second window (another device, same names) keeps its copies apart.
      Device other(emu::DeviceKind::kQuillon);
      WriteBytes(other.Root() / "drag.bin", stale);
      auto w2 = Open(other, true);
      QVERIFY(w2);
      Select(*w2, {"drag.bin"});
      QVERIFY(DragFetches(*w2, other));
      QVERIFY(w2->DownloadFiles()[0] != w->DownloadFiles()[0]);
      QCOMPARE(ReadBytes(Local(w->DownloadFiles()[0])), body);
      QCOMPARE(ReadBytes(Local(w2->DownloadFiles()[0])), stale);
    }
    QVERIFY(!QFileInfo::exists(runFolder));
    QCOMPARE(ReadBytes(priv / "Bitmap.bmp"), std::string("a capture"));
  }
};

QTEST_MAIN(TestMainWindowCopy)
#include "tst_main_window_copy.moc"
