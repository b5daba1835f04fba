// The main window against the emulated device: start and connect, browse,
// copy out through the clipboard, paste and drop in, delete, rename,
// Properties, Cancel during a transfer, no device, closing while busy.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>

#include "desktop/file_lists.h"
#include "desktop/local_files.h"
#include "gui/device_controller.h"
#include "gui/entry_list_model.h"
#include "gui/log_window.h"
#include "gui/file_list_mime.h"
#include "gui/main_window.h"
#include "gui/address_dialog.h"
#include "gui/properties_dialog.h"
#include "gui/capture_window.h"
#include "gui/transfer_dialog.h"
#include "link/link_error.h"
#include "link/serial_port.h"
#include "gui_fixture.h"
#include "session/status_dialog.h"
#include "session/device_session.h"

using namespace corvane;
using corvane::test::Await;
using corvane::test::Select;
using corvane::test::Device;
using corvane::test::Pattern;
using corvane::test::ReadBytes;
using corvane::test::WriteBytes;
namespace fs = std::filesystem;

class TestMainWindow : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::GuiSandbox> m_sandbox;

  // A window connected with "Auto" to `device` (or to nothing), its first
  // connect and listing done.
  std::unique_ptr<MainWindow> Open(Device* device, bool quillon) {
    return test::OpenWindow(device, quillon);
  }

  static QStringList ListNames(MainWindow& w) {
    QStringList names;
    for (int r = 0; r < w.ListModel()->rowCount(); ++r) names << w.ListModel()->index(r, 0).data().toString();
    return names;
  }
  static QStringList TreeChildren(QTreeWidgetItem* node) {
    QStringList names;
    for (int i = 0; i < node->childCount(); ++i) names << node->child(i)->text(0);
    return names;
  }
  // Shows a folder of the tree; waits for the device when it was not listed yet.
  static bool Browse(MainWindow& w, QTreeWidgetItem* node) {
    QSignalSpy done(&w, &MainWindow::commandDone);
    w.FolderTree()->setCurrentItem(node);
    return w.CurrentPath() == FolderTreeView::PathOf(node) || done.wait(20000);
  }
  static bool WaitRefresh(MainWindow& w) {
    if (!w.RefreshPending()) return false;
    QSignalSpy done(&w, &MainWindow::commandDone);
    return done.wait(20000);
  }

 private slots:
  void init() { m_sandbox = std::make_unique<test::GuiSandbox>(); }
  void cleanup() {
    QApplication::clipboard()->clear();
    m_sandbox.reset();
  }

  void tallisStartsConnectedAndBrowses() {
    Device device(emu::DeviceKind::kTallis);
    WriteBytes(device.Root() / "AREA", "\xAB R SQ \xBB");
    WriteBytes(device.Root() / "network", "x");
    WriteBytes(device.Root() / "DEMO" / "PLOT", Pattern(100, 1));
    fs::create_directories(device.Root() / "MATHS");
    fs::create_directories(device.Root() / "NETWORK");
    auto w = Open(&device, false);
    QVERIFY(w);
    QCOMPARE(w->windowTitle(), QStringLiteral("Corvane Tallis Connectivity Kit"));
    QVERIFY(m_sandbox->boxes.empty());
    QVERIFY(w->Connected());
    QVERIFY(w->FolderTree()->isEnabled());
    QVERIFY(!w->BusyPanelVisible());
    QCOMPARE(w->StatusText()->text(), QString::fromStdString(emu::DefaultVersion(emu::DeviceKind::kTallis)));
    QCOMPARE(w->BaudBox()->currentText(), QStringLiteral("9600"));
    QStringList ports;
    for (int i = 0; i < w->PortBox()->count(); ++i) ports << w->PortBox()->itemText(i);
    QCOMPARE(ports, QStringList({"Auto", QString::fromStdString(device.Path()), "disconnect"}));

    // "NETWORK" is left out, its lower-case namesake is not; Tallis folders are listed too.
    QTreeWidgetItem* root = w->FolderTree()->topLevelItem(0);
    QCOMPARE(root->text(0), QStringLiteral("Corvane Tallis"));
    QCOMPARE(TreeChildren(root), QStringList({"DEMO", "MATHS"}));
    QCOMPARE(ListNames(*w), QStringList({"AREA", "DEMO", "MATHS", "network"}));

    // Into a folder and back: no duplicate tree nodes.
    QVERIFY(Browse(*w, root->child(0)));
    QCOMPARE(QByteArray::fromStdString(w->CurrentPath()), QByteArray("\\DEMO"));
    QCOMPARE(ListNames(*w), QStringList({"PLOT"}));
    QCOMPARE(w->ListModel()->index(0, 1).data().toString(), QStringLiteral("100"));
    QVERIFY(Browse(*w, root));
    QVERIFY(Browse(*w, root->child(0)));
    QVERIFY(Browse(*w, root));
    QCOMPARE(TreeChildren(root), QStringList({"DEMO", "MATHS"}));

    // "disconnect" leaves the list and disables the controls.
    w->PortBox()->setCurrentIndex(w->PortBox()->count() - 1);
    QVERIFY(Await(*w, [&] { w->ConnectSelectedPort(); }));
    QVERIFY(!w->Connected());
    QVERIFY(!w->FolderTree()->isEnabled());
    QVERIFY(!w->ListArea()->isEnabled());
    QVERIFY(!w->Action("Delete1")->isEnabled());
    QVERIFY(!w->Action("Refresh1")->isEnabled());
    QCOMPARE(ListNames(*w).size(), 4);
    QVERIFY(m_sandbox->boxes.empty());  // a disconnect is not an error
  }

  void quillonShowsFoldersOnlyInTheTree() {
    Device device(emu::DeviceKind::kQuillon);
    WriteBytes(device.Root() / "a.txt", "a");
    WriteBytes(device.Root() / "Docs" / "b.txt", "bb");
    auto w = Open(&device, true);
    QVERIFY(w);
    QCOMPARE(w->windowTitle(), QStringLiteral("Corvane Quillon Connectivity Kit"));
    QCOMPARE(w->BaudBox()->currentText(), QStringLiteral("115200"));
    QCOMPARE(w->PortBox()->itemText(w->PortBox()->count() - 2), QStringLiteral("TCP/IP"));
    QCOMPARE(TreeChildren(w->FolderTree()->topLevelItem(0)), QStringList({"Docs"}));
    QCOMPARE(ListNames(*w), QStringList({"a.txt"}));
    QVERIFY(Browse(*w, w->FolderTree()->topLevelItem(0)->child(0)));
    QCOMPARE(ListNames(*w), QStringList({"b.txt"}));
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

  void deleteSendsOneCommandPerEntryInListOrderThenRefreshes() {
    Device device(emu::DeviceKind::kQuillon);
    for (const char* n : {"a1", "b2", "c3", "d4"}) WriteBytes(device.Root() / n, n);
    auto w = Open(&device, true);
    QVERIFY(w);
    Select(*w, {"d4", "a1", "b2"});
    device.Emu().ClearRecords();
    // The Delete key on the list does what the menu does.
    w->CurrentListView()->setFocus();
    QVERIFY(Await(*w, [&] { QTest::keyClick(w->CurrentListView(), Qt::Key_Delete); }));
    QVERIFY(m_sandbox->boxes.empty());
    const auto deletes = device.PacketsOf('D');
    QCOMPARE(deletes.size(), size_t{3});
    QCOMPARE(deletes[0].at(0), Bytes("a1"));
    QCOMPARE(deletes[1].at(0), Bytes("b2"));
    QCOMPARE(deletes[2].at(0), Bytes("d4"));
    QVERIFY(WaitRefresh(*w));
    QCOMPARE(ListNames(*w), QStringList({"c3"}));
  }

  void renameSendsTheNewNameAndRefusesWhatEightBitsCannotHold() {
    Device device(emu::DeviceKind::kQuillon);
    WriteBytes(device.Root() / "old.txt", "data");
    auto w = Open(&device, true);
    QVERIFY(w);
    QVERIFY(Await(*w, [&] { w->RenameRow(0, QStringLiteral("n\u00e9w.txt")); }));
    QVERIFY(m_sandbox->boxes.empty());
    QCOMPARE(ReadBytes(device.Root() / "n\xE9w.txt"), std::string("data"));
    QVERIFY(WaitRefresh(*w));
    QCOMPARE(ListNames(*w), QStringList({QStringLiteral("n\u00e9w.txt")}));

    device.Emu().ClearRecords();
    QVERIFY(Await(*w, [&] { w->RenameRow(0, QStringLiteral("\u65e5\u672c.txt")); }));
    QCOMPARE(m_sandbox->boxes.size(), size_t{1});
    QVERIFY(m_sandbox->boxes[0].text.contains(QStringLiteral("Latin-1")));
    QVERIFY(device.PacketsOf('r').empty());
    QCOMPARE(ListNames(*w), QStringList({QStringLiteral("n\u00e9w.txt")}));
  }

  void tallisNamesItsCommandLinesCannotCarryAreRefusedWithNothingSent() {
    Device device(emu::DeviceKind::kTallis);
    WriteBytes(device.Root() / "A", "alpha");
    WriteBytes(device.Root() / "Y", "why");
    WriteBytes(device.Root() / "two words", "blank");  // the emulator lists it; a Tallis could not
    auto w = Open(&device, false);
    QVERIFY(w);
    QCOMPARE(ListNames(*w), QStringList({"A", "Y", "two words"}));
    device.Emu().ClearRecords();

    // A rename that would purge Y: the error box says why, the device hears nothing.
    QVERIFY(Await(*w, [&] { w->RenameRow(0, QStringLiteral("X' PURGE 'Y")); }));
    QCOMPARE(m_sandbox->boxes.size(), size_t{1});
    QCOMPARE(m_sandbox->boxes[0].kind, MessageKind::kError);
    QVERIFY2(m_sandbox->boxes[0].text.contains(QStringLiteral("\"X' PURGE 'Y\": it contains a quote (')")),
             qPrintable(m_sandbox->boxes[0].text));
    QVERIFY(m_sandbox->boxes[0].text.contains(QStringLiteral("Nothing was sent to the device")));
    QVERIFY(device.Emu().Commands().empty());
    QCOMPARE(ListNames(*w), QStringList({"A", "Y", "two words"}));
    QVERIFY(!w->RefreshPending());

    // Deleting an entry whose name has a blank: refused before the folder is even made current.
    Select(*w, {"Y", "two words"});
    QVERIFY(Await(*w, [&] { w->DeleteSelected(); }));
    QCOMPARE(m_sandbox->boxes.size(), size_t{2});
    QVERIFY2(m_sandbox->boxes[1].text.contains(QStringLiteral("\"two words\": it contains a blank")),
             qPrintable(m_sandbox->boxes[1].text));
    QVERIFY(device.Emu().Commands().empty());
    QVERIFY(fs::exists(device.Root() / "Y"));

    // A name it can take still goes.
    QVERIFY(Await(*w, [&] { w->RenameRow(0, QStringLiteral("B")); }));
    QCOMPARE(m_sandbox->boxes.size(), size_t{2});
    const auto lines = device.PacketsOf('E');
    QVERIFY(!lines.empty());
    QCOMPARE(lines.back(), std::vector<Bytes>({"'A' DUP RCL SWAP PURGE'B' STO"}));
    QCOMPARE(ReadBytes(device.Root() / "B"), std::string("alpha"));
    QVERIFY(fs::exists(device.Root() / "Y"));
  }

  void editingACaptionRenamesAndTheDeleteKeyEditsText() {
    Device device(emu::DeviceKind::kQuillon);
    WriteBytes(device.Root() / "draft.txt", "text");
    auto w = Open(&device, true);
    QVERIFY(w);
    QAbstractItemView* view = w->CurrentListView();
    view->setFocus();
    view->edit(w->ListModel()->index(0, 0));
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    QVERIFY(editor);
    editor->setCursorPosition(0);
    device.Emu().ClearRecords();
    // Delete while editing removes a character, not the entry.
    QTest::keyClick(editor, Qt::Key_Delete);
    QCOMPARE(editor->text(), QStringLiteral("raft.txt"));
    QVERIFY(device.PacketsOf('D').empty());
    editor->setText(QStringLiteral("final.txt"));
    QSignalSpy done(w.get(), &MainWindow::commandDone);
    QTest::keyClick(editor, Qt::Key_Return);
    QVERIFY(done.wait(10000));
    QVERIFY(m_sandbox->boxes.empty());
    const auto renames = device.PacketsOf('r');
    QCOMPARE(renames.size(), size_t{1});
    QCOMPARE(renames[0], std::vector<Bytes>({"draft.txt", "final.txt"}));
    QCOMPARE(ReadBytes(device.Root() / "final.txt"), std::string("text"));
    QCOMPARE(ListNames(*w), QStringList({"final.txt"}));
  }

  void propertiesShowSizeAndTimeOfTheSelection() {
    Device device(emu::DeviceKind::kQuillon);
    WriteBytes(device.Root() / "big", Pattern(100000, 1));
    WriteBytes(device.Root() / "small", Pattern(1024, 2));
    auto w = Open(&device, true);
    QVERIFY(w);
    QString size, time, names;
    connect(w->PropertiesForm(), &PropertiesDialog::shown, this, [&] {
      size = w->PropertiesForm()->Size()->text();
      time = w->PropertiesForm()->Time()->text();
      for (int i = 0; i < w->PropertiesForm()->NameList()->count(); ++i)
        names += w->PropertiesForm()->NameList()->item(i)->text() + ";";
      w->PropertiesForm()->accept();
    });
    Select(*w, {"big"});
    w->BaudBox()->setCurrentIndex(0);  // 9600
    w->ShowProperties();
    QCOMPARE(size, QStringLiteral("97KB"));
    QCOMPARE(time, QStringLiteral("1mn : 44s"));
    QCOMPARE(names, QStringLiteral("big;"));
    Select(*w, {"small"});
    w->BaudBox()->setCurrentIndex(1);  // 115200
    w->ShowProperties();
    QCOMPARE(size, QStringLiteral("1024B"));
    QCOMPARE(time, QStringLiteral("1mn : 0s"));
    // Without a selection nothing shows.
    w->ListSelection()->clearSelection();
    size.clear();
    w->ShowProperties();
    QVERIFY(size.isEmpty());
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

  void startWithoutADeviceShowsOneErrorAndDisablesTheViews() {
    auto w = Open(nullptr, false);
    QVERIFY(w);
    QCOMPARE(m_sandbox->boxes.size(), size_t{1});
    QCOMPARE(m_sandbox->boxes[0].caption, QStringLiteral("Corvane Tallis Connectivity Kit"));
    QCOMPARE(m_sandbox->boxes[0].text,
             QStringLiteral("Error (No device connected. Check you are in Xmodem server (RShift LeftArrow))"));
    QCOMPARE(m_sandbox->boxes[0].kind, MessageKind::kError);
    QVERIFY(!w->FolderTree()->isEnabled());
    QVERIFY(!w->ListArea()->isEnabled());
    QCOMPARE(w->StatusText()->text(),
             QStringLiteral("No device detected. Check: the cable connection. If the device is turned ON"));
    // Copy without a device says so; paste quietly does nothing.
    m_sandbox->boxes.clear();
    w->PasteFromClipboard();
    QVERIFY(m_sandbox->boxes.empty());
  }

  void autoNamesAPortItCouldNotOpenAndSaysWhatToDo() {
    MainWindowOptions o;
    o.connectAtStart = false;
    o.listPorts = [] { return std::string("/dev/ttyUSB7\n"); };
    MainWindow w(o);
    w.Device().Session().OpenPort = [](const std::string& name, int, bool) -> std::unique_ptr<SerialPort> {
      ConnectionError("Cannot open " + name +
                      ": Permission denied. Join the group that owns the port (sudo usermod -aG dialout $USER), "
                      "then log out and in again.");
    };
    w.show();
    QVERIFY(Await(w, [&] { w.ConnectSelectedPort(); }));
    // One box, not a status line that the next message overwrites.
    QCOMPARE(m_sandbox->boxes.size(), size_t{1});
    const QString text = m_sandbox->boxes[0].text;
    QVERIFY(text.startsWith(QStringLiteral("Error (No device connected.")));
    QVERIFY(text.contains(QStringLiteral("Cannot open /dev/ttyUSB7: Permission denied")));
    QVERIFY(text.contains(QStringLiteral("dialout")));
    QVERIFY(!w.Connected());
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

  void positionsAreSavedOnCloseAndRestoredAtStart() {
    Device device(emu::DeviceKind::kTallis);
    {
      auto w = Open(&device, false);
      QVERIFY(w);
      w->resize(640, 480);
      QVERIFY(w->close());
    }
    QSettings s(QStringLiteral("Corvane"), QStringLiteral("Quillon Connectivity kit"));
    QCOMPARE(s.value(QStringLiteral("Form1/Width")).toString(), QStringLiteral("640"));
    QCOMPARE(s.value(QStringLiteral("Form1/Height")).toString(), QStringLiteral("480"));
    QCOMPARE(s.value(QStringLiteral("Form1/Visible")).toString(), QStringLiteral("1"));
    auto again = Open(&device, false);
    QVERIFY(again);
    QCOMPARE(again->size(), QSize(640, 480));
  }

  void theBusyPanelShowsWhileTheDeviceWorks() {
    Device device(emu::DeviceKind::kTallis);
    WriteBytes(device.Root() / "A", "a");
    auto w = Open(&device, false);
    QVERIFY(w);
    int busyWhileWorking = 0, checks = 0;
    connect(&w->Device(), &DeviceController::busyChanged, this, [&](bool busy) {
      if (!busy) return;
      ++checks;
      if (w->BusyPanelVisible() && w->BusyPanel()->isVisible()) ++busyWhileWorking;
      QCOMPARE(w->BusyPanel()->text(), QStringLiteral("Please wait while connecting"));
    });
    QVERIFY(Await(*w, [&] { w->RefreshFolder(); }));
    QVERIFY(Await(*w, [&] { w->Reconnect(); }));
    QVERIFY(checks >= 2);
    QCOMPARE(busyWhileWorking, checks);
    QVERIFY(!w->BusyPanel()->isVisible());
  }

  void tcpAsksForTheAddressAndLists() {
    Device device(emu::DeviceKind::kQuillon, 0, false);
    WriteBytes(device.Root() / "net.txt", "over the network");
    const uint16_t port = device.Emu().StartTcp(0);
    auto w = Open(nullptr, true);  // no serial device: one error box first
    QVERIFY(w);
    m_sandbox->boxes.clear();
    w->Device().Session().Socket.Port = port;
    bool asked = false;
    connect(w->AddressForm(), &AddressDialog::shown, this, [&] {
      asked = true;
      w->AddressForm()->AddressEdit()->setText(QStringLiteral("127.0.0.1"));
      w->AddressForm()->accept();
    });
    w->PortBox()->setCurrentIndex(w->PortBox()->findText(QStringLiteral("TCP/IP")));
    QVERIFY(Await(*w, [&] { w->ConnectSelectedPort(); }));
    QVERIFY(asked);
    QVERIFY2(m_sandbox->boxes.empty(), m_sandbox->boxes.empty() ? "" : qPrintable(m_sandbox->boxes[0].text));
    QVERIFY(w->Connected());
    QCOMPARE(ListNames(*w), QStringList({"net.txt"}));
  }

  void upgradeModeWarnsAndLeavesTheControlsOff() {
    Device device(emu::DeviceKind::kQuillon);
    device.Emu().SetUpgradeMode(true);
    auto w = Open(&device, true);
    QVERIFY(w);
    QCOMPARE(m_sandbox->boxes.size(), size_t{1});
    QCOMPARE(m_sandbox->boxes[0].caption, QStringLiteral("Warning"));
    QCOMPARE(m_sandbox->boxes[0].text,
             QStringLiteral("Warning, Corvane Quillon in upgrade mode\nPlease Upgrade your system"));
    QVERIFY(!w->Connected());
    QVERIFY(!w->FolderTree()->isEnabled());
    QCOMPARE(w->FolderTree()->topLevelItem(0)->childCount(), 0);
  }

  void doubleClickOpensAndCtrlKStopsTheQuillonServer() {
    Device device(emu::DeviceKind::kQuillon);
    WriteBytes(device.Root() / "run.prg", "p");
    auto w = Open(&device, true);
    QVERIFY(w);
    QWidget* viewport = static_cast<QAbstractScrollArea*>(w->CurrentListView())->viewport();
    const QPoint at = w->CurrentListView()->visualRect(w->ListModel()->index(0, 0)).center();
    QSignalSpy done(w.get(), &MainWindow::commandDone);
    QTest::mouseDClick(viewport, Qt::LeftButton, Qt::NoModifier, at);
    QVERIFY(done.wait(10000));
    QVERIFY(m_sandbox->boxes.empty());
    const auto opens = device.PacketsOf('o');
    QCOMPARE(opens.size(), size_t{1});
    QCOMPARE(opens[0].at(0), Bytes("run.prg"));

    QVERIFY(Await(*w, [&] { QTest::keyClick(w->CurrentListView(), Qt::Key_K, Qt::ControlModifier); }));
    QCOMPARE(m_sandbox->boxes.size(), size_t{1});
    QCOMPARE(m_sandbox->boxes[0].text, QStringLiteral("Corvane Quillon Connecitvity kit killed"));
    QVERIFY(device.Emu().WaitUntilStopped(std::chrono::seconds(10)));
  }

  void screenCaptureShowsTheDeviceScreen() {
    Device device(emu::DeviceKind::kQuillon);
    auto w = Open(&device, true);
    QVERIFY(w);
    const QString before = QDir::currentPath();
    QDir::setCurrent(m_sandbox->Path());
    QVERIFY(Await(*w, [&] { w->Action("ScreenCapture1")->trigger(); }));
    QDir::setCurrent(before);
    QVERIFY2(m_sandbox->boxes.empty(), m_sandbox->boxes.empty() ? "" : qPrintable(m_sandbox->boxes[0].text));
    QVERIFY(QFileInfo::exists(m_sandbox->Path() + QStringLiteral("/Bitmap.bmp")));
    QVERIFY(w->CaptureForm());
    QVERIFY(w->CaptureForm()->isVisible());
    QVERIFY(!w->CaptureForm()->Framed().isNull());
  }

  void ctrlKDoesNothingForTheTallis() {
    Device device(emu::DeviceKind::kTallis);
    WriteBytes(device.Root() / "A", "a");
    auto w = Open(&device, false);
    QVERIFY(w);
    device.Emu().ClearRecords();
    QTest::keyClick(w->CurrentListView(), Qt::Key_K, Qt::ControlModifier);
    QVERIFY(m_sandbox->boxes.empty());
    QVERIFY(device.Emu().Commands().empty());
    QVERIFY(device.Emu().Running());
  }

  void selectionCommandsAndViewOptions() {
    Device device(emu::DeviceKind::kQuillon);
    for (const char* n : {"a", "b", "c"}) WriteBytes(device.Root() / n, n);
    auto w = Open(&device, true);
    QVERIFY(w);
    Select(*w, {"b"});
    w->InvertSelection();
    QVERIFY(w->ListSelection()->isRowSelected(0, QModelIndex()));
    QVERIFY(!w->ListSelection()->isRowSelected(1, QModelIndex()));
    QVERIFY(w->ListSelection()->isRowSelected(2, QModelIndex()));
    w->SelectAll();
    QCOMPARE(w->ListSelection()->selectedRows().size(), 3);
    w->ListSelection()->clearSelection();
    w->UpdateFileMenu();
    QVERIFY(!w->Action("Property1")->isEnabled());
    w->UpdateEditCommands();
    QVERIFY(!w->Action("PopCopy1")->isEnabled());
    QVERIFY(!w->Action("PopDelete1")->isEnabled());

    w->Action("List1")->trigger();
    QCOMPARE(w->GetViewStyle(), MainWindow::ViewStyle::kList);
    w->UpdateViewMenu();
    QVERIFY(w->Action("List1")->isChecked());
    QVERIFY(!w->Action("Details1")->isChecked());
    QVERIFY(!w->Action("LargeIcons1")->isVisible());
    QVERIFY(w->Action("Toolbar1")->isChecked());
    w->Action("Toolbar1")->trigger();
    QVERIFY(!w->ToolBar()->isVisible());
    w->UpdateViewMenu();
    QVERIFY(!w->Action("Toolbar1")->isChecked());
    // The shortcuts users know from other file managers.
    QCOMPARE(w->Action("Copy1")->shortcut(), QKeySequence(QStringLiteral("Ctrl+C")));
    QCOMPARE(w->Action("Paste1")->shortcut(), QKeySequence(QStringLiteral("Ctrl+V")));
    QCOMPARE(w->Action("SelectAll1")->shortcut(), QKeySequence(QStringLiteral("Ctrl+A")));
    QCOMPARE(w->Action("Refresh1")->shortcut(), QKeySequence(QStringLiteral("F5")));
    QCOMPARE(w->Action("ScreenCapture1")->shortcut(), QKeySequence(QStringLiteral("Ctrl+S")));
  }

  void theLogEntryOfTheViewMenuShowsTheLog() {
    Device device(emu::DeviceKind::kQuillon);
    auto w = Open(&device, true);
    QVERIFY(w);
    QAction* log = w->Action("Log1");
    QVERIFY(log);
    QCOMPARE(log->text(), QStringLiteral("&Log"));
    log->trigger();
    QVERIFY(w->LogForm()->isVisible());
    QCOMPARE(w->LogForm()->windowTitle(), QStringLiteral("Form4"));
  }
};

QTEST_MAIN(TestMainWindow)
#include "tst_main_window.moc"
