// The main window's drag and drop for real, on a private X server or, with
// DND_PLATFORM=wayland, a private headless sway compositor: drags out
// of the list into a separate drop-target program that asks for the file
// list once, at the drop, and waits at most 5 s for it (as Qt-based file
// managers do), and drops into the list and onto a folder of the tree from a
// separate drag-source program. The device is the emulator on a line paced
// at 115200 baud, so a 120,000-byte file takes about 11 s to fetch.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>
#include <QUrl>

#include <sys/prctl.h>

#include <algorithm>
#include <csignal>

#include "dnd_driver.h"
#include "gui/device_controller.h"
#include "gui/entry_list_model.h"
#include "gui/main_window.h"
#include "gui/transfer_dialog.h"
#include "gui_fixture.h"

using namespace std::chrono_literals;
using namespace corvane;
using corvane::test::Device;
using corvane::test::Pattern;
using corvane::test::ReadBytes;
using corvane::test::WriteBytes;
namespace fs = std::filesystem;

namespace {

const QRect kTargetGeometry(700, 80, 300, 300);
const QRect kSourceGeometry(700, 500, 300, 200);

QString Geometry(const QRect& r) {
  return QStringLiteral("%1,%2,%3,%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

// The peer programs; tests run as another user are given copies (--drop-target=, --drag-source=).
QString g_dropTarget = QStringLiteral(DND_DROP_TARGET);
QString g_dragSource = QStringLiteral(DND_DRAG_SOURCE);

}  // namespace

class TestMainWindowDnd : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    if (const QString why = dnd::displayUnavailable(); !why.isEmpty()) QSKIP(qPrintable(why));
    m_desktop = dnd::Desktop::fromEnvironment();
    qInfo("on %s", qPrintable(dnd::platformName(m_desktop->platform())));
  }
  void cleanupTestCase() { m_desktop.reset(); }
  void init() {
    m_sandbox = std::make_unique<test::GuiSandbox>();
    m_device = std::make_unique<Device>(emu::DeviceKind::kQuillon, 115200);
    WriteBytes(m_device->Root() / "small.bin", Pattern(3000, 1));
    WriteBytes(m_device->Root() / "large.bin", Pattern(120000, 2));
    fs::create_directories(m_device->Root() / "Inbox");
    MainWindowOptions o;
    o.quillon = true;
    o.refreshDelayMs = 30;
    const std::string port = m_device->Path() + "\n";
    o.listPorts = [port] { return port; };
    m_window = std::make_unique<MainWindow>(o);
    QSignalSpy done(m_window.get(), &MainWindow::commandDone);
    m_window->move(20, 40);
    m_window->resize(600, 420);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    QString error;
    QVERIFY2(m_desktop->placeWindow(m_window.get(), QPoint(20, 40), &error), qPrintable(error));
    QVERIFY(done.count() > 0 || done.wait(30000));
    QVERIFY(m_window->Connected());
  }
  void cleanup() {
    if (QTest::currentTestFailed() && m_peer) qWarning().noquote() << m_peer->diagnostics();
    if (QTest::currentTestFailed()) m_desktop->screenshotForFailure(QString::fromLatin1(QTest::currentTestFunction()));
    m_peer.reset();
    m_window.reset();
    m_device.reset();
    m_sandbox.reset();
  }

  void aSmallFileDraggedOutArrivesWhole() { DragOut("small.bin", 3000); }
  // Fetching takes about 11 s, more than twice what the target waits at the
  // drop: the fetch happens before the drag, under the transfer dialog.
  void aLargeFileDraggedOutArrivesWhole() { DragOut("large.bin", 120000); }

  // The device's file changes without changing its size, the folder is
  // listed again: the next drag drops the new bytes, not the copy fetched
  // for the first one.
  void aFileChangedOnTheDeviceIsDraggedAnew() {
    DragOut("small.bin", 3000);
    WriteBytes(m_device->Root() / "small.bin", Pattern(3000, 7));
    ExpectRefreshWorks();
    DragOut("small.bin", 3000);
  }

  // Cancel in the transfer dialog while the drag fetches: no drag starts,
  // nothing is left behind, and the window goes on.
  void cancellingTheFetchOfADragLeavesNothing() {
    const int row = RowOf(QStringLiteral("large.bin"));
    QVERIFY(row >= 0);
    QAbstractItemView* view = m_window->CurrentListView();
    view->selectionModel()->select(m_window->ListModel()->index(row, 0),
                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    const QPoint from = RowPoint(row);
    TransferDialog* dialog = m_window->StatusForm();
    bool cancelled = false;
    connect(dialog, &TransferDialog::shown, this, [&] {
      dialog->CancelButton()->click();
      cancelled = true;
    });
    QSignalSpy done(m_window.get(), &MainWindow::commandDone);
    dnd::DragGesture gesture(*m_desktop, from, kTargetGeometry.center());
    // Released once the fetch has ended (cancelled), with the button still down until then.
    gesture.setReleaseGate([&] { return done.count() > 0; }, 60s);
    connect(m_window.get(), &MainWindow::commandDone, &gesture, &dnd::DragGesture::recheck);
    gesture.start();
    QVERIFY2(gesture.wait(90s), qPrintable(gesture.error()));
    QVERIFY(cancelled);
    QVERIFY(!gesture.gateTimedOut());
    QCOMPARE(m_window->DragsStarted(), 0);
    QCOMPARE(m_window->DownloadFiles().size(), 1);
    QVERIFY(!QFileInfo::exists(m_window->DownloadFiles()[0]));
    QCOMPARE(QFileInfo(m_window->DownloadFiles()[0]).dir().entryList(QDir::Files | QDir::Hidden).size(), 0);
    ExpectRefreshWorks();
  }

  // The drag's release went to the transfer dialog and the drag, not to the
  // list: the next click is a click of its own. It selects the row clicked,
  // alone, and Copy puts exactly that file on the clipboard.
  void aClickAfterAFetchingDragSelectsTheRowClicked() {
    if (!m_desktop->isWayland() && !dnd::haveProgram(QStringLiteral("xclip")))
      QSKIP("xclip is not installed (Debian package: xclip)");
    DragOut("large.bin", 120000, false);
    const int row = RowOf(QStringLiteral("small.bin"));
    QVERIFY(row >= 0);
    QVERIFY(m_desktop->click(RowPoint(row)));
    QTRY_VERIFY(m_window->isActiveWindow());
    // The dragged row is selected until the click arrives: wait for the row clicked.
    QTRY_COMPARE(SelectedRows(), QList<int>{row});
    QCOMPARE(m_window->DragsStarted(), 1);

    QSignalSpy done(m_window.get(), &MainWindow::commandDone);
    QVERIFY(m_desktop->keys(QStringLiteral("ctrl+c")));
    QVERIFY(done.wait(30000));
    QVERIFY2(m_sandbox->boxes.empty(), m_sandbox->boxes.empty() ? "" : qPrintable(m_sandbox->boxes[0].text));
    QStringList uris;
    const QByteArray out = m_desktop->readClipboard(QStringLiteral("text/uri-list"));
    for (const QByteArray& line : out.split('\n'))
      if (!line.trimmed().isEmpty() && !line.startsWith('#')) uris << QString::fromUtf8(line.trimmed());
    QCOMPARE(uris.size(), 1);
    const QString local = QUrl(uris[0]).toLocalFile();
    QCOMPARE(QFileInfo(local).fileName(), QStringLiteral("small.bin"));
    QVERIFY(ReadBytes(QFile::encodeName(local).toStdString()) == Pattern(3000, 1));
  }

  // The button is let go while the drag still fetches: no drag starts, and
  // the next click, in the icon view too, selects the row clicked alone.
  void aClickAfterAPressReleasedDuringTheFetchSelectsTheRowClicked() {
    for (const char* style : {"Details1", "LargeIcons1"}) {
      QAction* view = m_window->Action(QString::fromLatin1(style));
      QVERIFY2(view, style);
      view->trigger();
      ExpectRefreshWorks();  // a fresh listing: the copy fetched before is not reused
      const int large = RowOf(QStringLiteral("large.bin"));
      const int small = RowOf(QStringLiteral("small.bin"));
      QVERIFY(large >= 0 && small >= 0);
      m_window->ListSelection()->select(m_window->ListModel()->index(large, 0),
                                        QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
      QSignalSpy done(m_window.get(), &MainWindow::commandDone);
      // Released over empty space of the window as soon as it gets there.
      dnd::DragGesture gesture(*m_desktop, RowPoint(large), ListPoint());
      gesture.start();
      QVERIFY2(gesture.wait(30s), qPrintable(gesture.error()));
      QVERIFY2(done.count() > 0 || done.wait(60000), style);
      QCOMPARE(m_window->DragsStarted(), 0);
      QVERIFY(m_desktop->click(RowPoint(small)));
      QTRY_COMPARE(SelectedRows(), QList<int>{small});
    }
  }

  // The button is held on a row while the folder is listed again; the rows
  // it was on are gone. Carried over the other rows and let go below them,
  // it neither selects every row in between nor starts a drag.
  void aPressHeldWhileTheFolderIsListedAgainSelectsNothing() {
    const int row = RowOf(QStringLiteral("large.bin"));
    QVERIFY(row >= 0);
    QVERIFY(m_window->ListModel()->rowCount() >= 2);
    const int other = row == 0 ? 1 : 0;
    const QPoint on = RowPoint(row);
    QVERIFY(m_desktop->pointer({{dnd::PointerStep::Move, on}, {dnd::PointerStep::Down, {}}}));
    QTRY_COMPARE(m_window->ListSelection()->selectedRows().size(), 1);
    QSignalSpy done(m_window.get(), &MainWindow::commandDone);
    m_window->RefreshFolder();
    QVERIFY(done.wait(20000));
    // Over the other row, in steps past the drag distance, then below the rows.
    const QPoint over = RowPoint(other);
    for (int step = 1; step <= 4; ++step) {
      const QPoint at = on + (over - on) * step / 4 + QPoint(step * 4, 0);
      QVERIFY(m_desktop->moveTo(at));
    }
    QVERIFY(m_desktop->moveTo(ListPoint()));
    QVERIFY(m_desktop->pointer({{dnd::PointerStep::Up, {}}}));
    QTest::qWait(0);
    QVERIFY(m_window->ListSelection()->selectedRows().size() <= 1);
    QCOMPARE(m_window->DragsStarted(), 0);
    // The next press is an ordinary one.
    const QPoint second = RowPoint(other);
    QVERIFY(m_desktop->click(second));
    QTRY_COMPARE(m_window->ListSelection()->selectedRows().size(), 1);
    QCOMPARE(m_window->ListSelection()->selectedRows()[0].row(), other);
  }

  void filesDroppedOnTheListGoToTheFolderShown() {
    const QString file = LocalFile("dropped.txt", "dropped into the list");
    DragIn(file, ListPoint());
    QCOMPARE(ReadBytes(m_device->Root() / "dropped.txt"), std::string("dropped into the list"));
  }

  void filesDroppedOnATreeFolderGoIntoThatFolder() {
    QTreeWidgetItem* inbox = m_window->FolderTree()->topLevelItem(0)->child(0);
    QVERIFY(inbox);
    QCOMPARE(inbox->text(0), QStringLiteral("Inbox"));
    const QRect r = m_window->FolderTree()->visualItemRect(inbox);
    const QString file = LocalFile("filed.txt", "dropped onto a folder");
    DragIn(file, m_desktop->toScreen(m_window->FolderTree()->viewport(), r.center()));
    QCOMPARE(ReadBytes(m_device->Root() / "Inbox" / "filed.txt"), std::string("dropped onto a folder"));
    QVERIFY(!fs::exists(m_device->Root() / "filed.txt"));
  }

 private:
  QString LocalFile(const QString& name, const std::string& body) {
    const QString path = m_sandbox->Path() + QStringLiteral("/in/") + name;
    WriteBytes(QFile::encodeName(path).toStdString(), body);
    return path;
  }

  QPoint ListPoint() const {
    QAbstractItemView* view = m_window->CurrentListView();
    return m_desktop->toScreen(view->viewport(),
                               QPoint(view->viewport()->width() / 2, view->viewport()->height() - 10));
  }

  QPoint RowPoint(int row) const {
    QAbstractItemView* view = m_window->CurrentListView();
    return m_desktop->toScreen(view->viewport(), view->visualRect(m_window->ListModel()->index(row, 0)).center());
  }
  // The rows selected, in either view (the icon view selects the name only).
  QList<int> SelectedRows() const {
    QList<int> rows;
    for (const QModelIndex& i : m_window->ListSelection()->selectedIndexes())
      if (!rows.contains(i.row())) rows << i.row();
    std::sort(rows.begin(), rows.end());
    return rows;
  }

  int RowOf(const QString& name) const {
    for (int r = 0; r < m_window->ListModel()->rowCount(); ++r)
      if (m_window->ListModel()->index(r, 0).data().toString() == name) return r;
    return -1;
  }

  // Commands work afterwards: a refresh lists the folder.
  void ExpectRefreshWorks() {
    QSignalSpy done(m_window.get(), &MainWindow::commandDone);
    m_window->RefreshFolder();
    QVERIFY(done.wait(20000));
    QVERIFY(RowOf(QStringLiteral("small.bin")) >= 0);
    QVERIFY(!m_window->Device().Busy());
  }

  void DragOut(const QString& name, qint64 size, bool refreshAfter = true) {
    const QString out = m_sandbox->Path() + QStringLiteral("/target");
    QVERIFY(QDir().mkpath(out));
    m_peer = std::make_unique<dnd::Peer>(QStringLiteral("dnd_drop_target"));
    m_peer->start(g_dropTarget,
                  {QStringLiteral("--out"), out, QStringLiteral("--once"), QStringLiteral("--geometry"),
                   Geometry(kTargetGeometry)},
                  m_desktop->environment());
    const auto ready = m_peer->waitReady(10s);
    QVERIFY2(ready, qPrintable(m_peer->diagnostics()));
    QString error;
    const auto target = m_desktop->place(*m_peer, QStringLiteral("dnd-drop-target"),
                                         kTargetGeometry.topLeft(), ready->geometry, &error);
    QVERIFY2(target, qPrintable(error));

    const int row = RowOf(name);
    QVERIFY(row >= 0);
    QAbstractItemView* view = m_window->CurrentListView();
    view->selectionModel()->select(m_window->ListModel()->index(row, 0),
                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    const QPoint from = RowPoint(row);

    // The button stays down over the target until the drag has begun (after
    // the fetch), then a last move and the release drop the files.
    dnd::DragGesture gesture(*m_desktop, from, target->center());
    const int dragsBefore = m_window->DragsStarted();
    gesture.setReleaseGate([this, dragsBefore] { return m_window->DragsStarted() > dragsBefore; }, 60s);
    connect(m_window.get(), &MainWindow::dragStarted, &gesture, &dnd::DragGesture::recheck);
    gesture.start();
    QVERIFY2(gesture.wait(90s), qPrintable(gesture.error()));
    QVERIFY(!gesture.gateTimedOut());
    const auto report = m_peer->waitForJson(QStringLiteral("urls"), 15s);
    QVERIFY2(report, qPrintable(m_peer->diagnostics()));
    QCOMPARE(report->value(QStringLiteral("urls")).toInt(), 1);
    QCOMPARE(report->value(QStringLiteral("missing")).toArray().size(), 0);
    const std::string copied = ReadBytes(QFile::encodeName(out + QLatin1Char('/') + name).toStdString());
    QCOMPARE(static_cast<qint64>(copied.size()), size);
    QVERIFY(copied == ReadBytes(m_device->Root() / QFile::encodeName(name).toStdString()));
    if (refreshAfter) ExpectRefreshWorks();
  }

  void DragIn(const QString& file, QPoint to) {
    m_peer = std::make_unique<dnd::Peer>(QStringLiteral("dnd_drag_source"));
    m_peer->start(g_dragSource,
                  {QStringLiteral("--once"), QStringLiteral("--geometry"), Geometry(kSourceGeometry), file},
                  m_desktop->environment());
    const auto ready = m_peer->waitReady(10s);
    QVERIFY2(ready, qPrintable(m_peer->diagnostics()));
    QString error;
    const auto source = m_desktop->place(*m_peer, QStringLiteral("dnd-drag-source"),
                                         kSourceGeometry.topLeft(), ready->geometry, &error);
    QVERIFY2(source, qPrintable(error));
    QSignalSpy done(m_window.get(), &MainWindow::commandDone);
    dnd::DragGesture gesture(*m_desktop, source->center(), to);
    gesture.start();
    QVERIFY2(gesture.wait(30s), qPrintable(gesture.error()));
    const auto result = m_peer->waitForJson(QStringLiteral("result"), 10s);
    QVERIFY2(result, qPrintable(m_peer->diagnostics()));
    QCOMPARE(result->value(QStringLiteral("result")).toString(), QStringLiteral("copy"));
    // The copy to the device follows the drop.
    QVERIFY(done.count() > 0 || done.wait(30000));
    ExpectRefreshWorks();
  }

  std::unique_ptr<dnd::Desktop> m_desktop;
  std::unique_ptr<test::GuiSandbox> m_sandbox;
  std::unique_ptr<Device> m_device;
  std::unique_ptr<MainWindow> m_window;
  std::unique_ptr<dnd::Peer> m_peer;
};

int main(int argc, char** argv) {
  if (const auto code = dnd::rerunUnderPrivateDisplay(argc, argv, 600s)) return *code;
  g_dropTarget = dnd::takeProgramArg(argc, argv, "drop-target", g_dropTarget);
  g_dragSource = dnd::takeProgramArg(argc, argv, "drag-source", g_dragSource);
  dnd::Desktop::setPointerProgram(dnd::takeProgramArg(argc, argv, "wl-pointer", QString()));
  QApplication app(argc, argv);
  TestMainWindowDnd test;
  return QTest::qExec(&test, argc, argv);
}

#include "test_main_window_dnd.moc"
