// The main window's Copy and Paste with the keys and the clipboard of a real
// X server (keys pressed with xdotool, the clipboard read and filled by
// xclip) or, with DND_PLATFORM=wayland, of a headless sway (wtype,
// wl-paste, wl-copy): another program, as a file manager would. The offscreen platform
// keeps the clipboard inside the process and could hide what X does.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>

#include <sys/prctl.h>

#include <csignal>

#include "dnd_driver.h"
#include "emulator/device_files.h"
#include "gui/device_controller.h"
#include "gui/entry_list_model.h"
#include "gui/main_window.h"
#include "gui_fixture.h"

using namespace std::chrono_literals;
using namespace corvane;
using corvane::test::Device;
using corvane::test::Pattern;
using corvane::test::ReadBytes;
using corvane::test::WriteBytes;
namespace fs = std::filesystem;

namespace {

Bytes Tallis(const std::string& body) { return emu::MakeTallisHeader(static_cast<uint32_t>(body.size())) + body; }

}  // namespace

class TestMainWindowClipboard : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    if (const QString why = dnd::displayUnavailable(); !why.isEmpty()) QSKIP(qPrintable(why));
    m_desktop = dnd::Desktop::fromEnvironment();
    qInfo("on %s", qPrintable(dnd::platformName(m_desktop->platform())));
    if (!m_desktop->isWayland() && !dnd::haveProgram(QStringLiteral("xclip"))) {
      // scripts/install-deps.sh installs it: a CI run without it is broken.
      if (qEnvironmentVariable("CI") == QStringLiteral("true")) QFAIL("xclip is not installed (Debian package: xclip)");
      QSKIP("xclip is not installed (Debian package: xclip)");
    }
  }
  void cleanupTestCase() { m_desktop.reset(); }
  void init() { m_sandbox = std::make_unique<test::GuiSandbox>(); }
  void cleanup() {
    if (QTest::currentTestFailed()) m_desktop->screenshotForFailure(QString::fromLatin1(QTest::currentTestFunction()));
    m_desktop->releaseClipboard();
    m_window.reset();
    m_device.reset();
    m_sandbox.reset();
  }

  // Select all in a Tallis root with an empty folder, Ctrl+C: every entry,
  // the empty folder as an empty folder, is on the clipboard as other
  // programs see it. Then a file list from another program, Ctrl+V: its
  // files go to the device and nothing is fetched.
  void selectAllCopyThenPasteAnotherProgramsFiles() {
    m_device = std::make_unique<Device>(emu::DeviceKind::kTallis);
    WriteBytes(m_device->Root() / "AREA", Tallis(Pattern(300, 1)));
    WriteBytes(m_device->Root() / "NOTES", Tallis(Pattern(40, 2)));
    fs::create_directories(m_device->Root() / "EMPTY");
    OpenWindow();
    QCOMPARE(m_window->ListModel()->rowCount(), 3);

    Click(RowPoint(1));
    Keys(QStringLiteral("ctrl+a"));
    QTRY_COMPARE(m_window->ListSelection()->selectedRows().size(), 3);
    QSignalSpy done(m_window.get(), &MainWindow::commandDone);
    Keys(QStringLiteral("ctrl+c"));
    QVERIFY(done.wait(30000));
    QVERIFY2(m_sandbox->boxes.empty(), m_sandbox->boxes.empty() ? "" : qPrintable(m_sandbox->boxes[0].text));

    // The formats offered name the file list, as file managers look for it.
    QVERIFY2(m_desktop->clipboardFormats().contains(QStringLiteral("text/uri-list")),
             qPrintable(m_desktop->clipboardFormats().join(QLatin1Char(' '))));
    const QStringList uris = ReadClipboard(QStringLiteral("text/uri-list"));
    QCOMPARE(uris.size(), 3);
    QStringList names;
    for (const QString& u : uris) names << QFileInfo(QUrl(u).toLocalFile()).fileName();
    QCOMPARE(names, (QStringList{"AREA", "EMPTY", "NOTES"}));
    const QString empty = QUrl(uris[1]).toLocalFile();
    QVERIFY(QFileInfo(empty).isDir());
    QVERIFY(QDir(empty).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
    QCOMPARE(ReadBytes(QFile::encodeName(QUrl(uris[0]).toLocalFile()).toStdString()),
             std::string(Tallis(Pattern(300, 1))));

    // Nothing selected (a click below the rows): Ctrl+C in the list leaves
    // the clipboard alone.
    Click(EmptyPoint());
    QTRY_VERIFY(!m_window->ListSelection()->hasSelection());
    QVERIFY(!m_window->Action("Copy1")->isEnabled());
    QVERIFY(m_window->CurrentListView()->currentIndex().isValid());
    Keys(QStringLiteral("ctrl+c"));
    QCOMPARE(ReadClipboard(QStringLiteral("text/uri-list")), uris);

    // Another program's file list, and Ctrl+V.
    const fs::path local = fs::path(QFile::encodeName(m_sandbox->Path()).toStdString()) / "in" / "NEW";
    WriteBytes(local, Tallis("new"));
    const QByteArray list = QUrl::fromLocalFile(QString::fromStdString(local.string())).toEncoded() + "\r\n";
    OwnClipboard(QStringLiteral("text/uri-list"), list);
    QTRY_VERIFY_WITH_TIMEOUT(m_window->Action("Paste1")->isEnabled(), 10000);
    m_device->Emu().ClearRecords();
    QSignalSpy pasted(m_window.get(), &MainWindow::commandDone);
    Keys(QStringLiteral("ctrl+v"));
    QVERIFY(pasted.wait(30000));
    QVERIFY2(m_sandbox->boxes.empty(), m_sandbox->boxes.empty() ? "" : qPrintable(m_sandbox->boxes[0].text));
    QVERIFY(m_device->PacketsOf('G').empty());
    QCOMPARE(m_device->PacketsOf('P').size(), size_t{1});
    QCOMPARE(ReadBytes(m_device->Root() / "NEW"), std::string(Tallis("new")));
  }

 private:
  void OpenWindow() {
    MainWindowOptions o;
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

  QPoint EmptyPoint() const {
    QAbstractItemView* view = m_window->CurrentListView();
    return m_desktop->toScreen(view->viewport(),
                               QPoint(view->viewport()->width() / 2, view->viewport()->height() - 10));
  }
  QPoint RowPoint(int row) const {
    QAbstractItemView* view = m_window->CurrentListView();
    return m_desktop->toScreen(view->viewport(), view->visualRect(m_window->ListModel()->index(row, 0)).center());
  }

  void Click(QPoint at) {
    QVERIFY(m_desktop->click(at));
    QTRY_VERIFY(m_window->isActiveWindow());
    QTRY_VERIFY(m_window->CurrentListView()->hasFocus());
  }
  void Keys(const QString& keys) {
    QVERIFY(m_desktop->keys(keys));
    QTest::qWait(0);
  }
  QStringList ReadClipboard(const QString& target) {
    const QByteArray out = m_desktop->readClipboard(target);
    QStringList lines;
    for (const QByteArray& line : out.split('\n'))
      if (!line.trimmed().isEmpty() && !line.startsWith('#')) lines << QString::fromUtf8(line.trimmed());
    return lines;
  }
  // Another program takes the clipboard and serves `data` until released.
  void OwnClipboard(const QString& target, const QByteArray& data) {
    QString error;
    QVERIFY2(m_desktop->ownClipboard(target, data, &error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(ReadClipboard(target) == QStringList(QString::fromUtf8(data.trimmed())), 10000);
  }

  std::unique_ptr<test::GuiSandbox> m_sandbox;
  std::unique_ptr<Device> m_device;
  std::unique_ptr<MainWindow> m_window;
  std::unique_ptr<dnd::Desktop> m_desktop;
};

int main(int argc, char** argv) {
  if (const auto code = dnd::rerunUnderPrivateDisplay(argc, argv, 300s)) return *code;
  dnd::takeProgramArg(argc, argv, "drop-target", {});
  dnd::takeProgramArg(argc, argv, "drag-source", {});
  dnd::Desktop::setPointerProgram(dnd::takeProgramArg(argc, argv, "wl-pointer", QString()));
  QApplication app(argc, argv);
  TestMainWindowClipboard test;
  return QTest::qExec(&test, argc, argv);
}

#include "test_main_window_clipboard.moc"
