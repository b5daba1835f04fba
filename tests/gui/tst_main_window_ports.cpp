// The window and a device plugged in and out while it is open: a watched
// folder of links stands for the system's ports, the emulated device's
// pseudo-terminal is linked into it and removed again.
#include <QComboBox>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include "gui/device_controller.h"
#include "gui/entry_list_model.h"
#include "gui/main_window.h"
#include "gui/message_box.h"
#include "gui_fixture.h"
#include "link/link_error.h"
#include "link/port_watch.h"
#include "link/serial_port.h"
#include "session/status_dialog.h"

using namespace corvane;
using corvane::test::Device;
using corvane::test::WriteBytes;
namespace fs = std::filesystem;

// The master of a pseudo-terminal whose slave is the port of a device that
// never answers.
struct PtyMaster {
  int fd = -1;
  std::string slave;
  PtyMaster() {
    fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0 && ::grantpt(fd) == 0 && ::unlockpt(fd) == 0) slave = ::ptsname(fd);
  }
  ~PtyMaster() { ::close(fd); }
};

class TestMainWindowPorts : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::GuiSandbox> m_sandbox;
  std::unique_ptr<QTemporaryDir> m_ports;

  fs::path PortDir() const { return QFile::encodeName(m_ports->path()).toStdString(); }

  // A window that watches PortDir() alone, started without a device: its
  // first "Auto" found nothing.
  std::unique_ptr<MainWindow> OpenEmpty(int retryLimitMs = 20000) {
    MainWindowOptions o;
    o.refreshDelayMs = 30;
    const std::string dir = PortDir().string();
    o.listPorts = [dir] {
      std::string text;
      for (const auto& p : ListPortsInFolder(dir)) text += p + "\n";
      return text;
    };
    o.portFolders = {dir};
    o.watchSystemPorts = false;
    o.plugRetryMs = 20;
    o.plugRetryLimitMs = retryLimitMs;
    auto w = std::make_unique<MainWindow>(o);
    QSignalSpy done(w.get(), &MainWindow::commandDone);
    w->show();
    if (!done.wait(30000)) return nullptr;
    return w;
  }

  static QStringList PortEntries(MainWindow& w) {
    QStringList out;
    for (int i = 0; i < w.PortBox()->count(); ++i) out << w.PortBox()->itemText(i);
    return out;
  }
  static QStringList TreeChildren(MainWindow& w) {
    QStringList names;
    QTreeWidgetItem* root = w.FolderTree()->topLevelItem(0);
    for (int i = 0; i < root->childCount(); ++i) names << root->child(i)->text(0);
    return names;
  }

 private slots:
  void init() {
    m_sandbox = std::make_unique<test::GuiSandbox>();
    m_ports = std::make_unique<QTemporaryDir>(test::GuiSandbox::BaseTemp() + QStringLiteral("/corvane-ports-XXXXXX"));
    QVERIFY(m_ports->isValid());
  }
  void cleanup() {
    ClearExtraSerialPorts();
    m_ports.reset();
    m_sandbox.reset();
  }

  void pluggedInDeviceIsConnectedAndUnpluggingDisconnects() {
    Device device(emu::DeviceKind::kTallis);
    WriteBytes(device.Root() / "AREA", "x");
    fs::create_directories(device.Root() / "MATHS");
    auto w = OpenEmpty();
    QVERIFY(w);
    QVERIFY(!w->Connected());
    QVERIFY(w->Ports());
    QCOMPARE(PortEntries(*w), (QStringList{"Auto", "disconnect"}));
    const size_t boxesAtStart = m_sandbox->boxes.size();  // "Auto" found nothing

    // Plugged in: listed, connected with "Auto", its folders shown.
    const fs::path link = PortDir() / "ttyUSB0";
    const QString linkText = QString::fromStdString(link.string());
    QSignalSpy done(w.get(), &MainWindow::commandDone);
    fs::create_symlink(device.Path(), link);
    QVERIFY2(done.wait(20000), "nothing was started when the port appeared");
    QVERIFY(PortEntries(*w).contains(linkText));
    QVERIFY(w->Connected());
    QCOMPARE(w->PortBox()->currentText(), QStringLiteral("Auto"));
    QCOMPARE(TreeChildren(*w), QStringList{"MATHS"});
    QCOMPARE(w->ListModel()->rowCount(), 2);
    QCOMPARE(m_sandbox->boxes.size(), boxesAtStart);

    // Pulled out: the connection error, the controls off, the port gone.
    done.clear();
    fs::remove(link);
    QVERIFY2(done.wait(20000), "nothing happened when the port vanished");
    QVERIFY(!w->Connected());
    QVERIFY(!w->FolderTree()->isEnabled());
    QVERIFY(!PortEntries(*w).contains(linkText));
    QCOMPARE(m_sandbox->boxes.size(), boxesAtStart + 1);
    QCOMPARE(m_sandbox->boxes.back().kind, MessageKind::kError);
    QCOMPARE(m_sandbox->boxes.back().text, MessageText(kConnectionErrorText));

    // Plugged in again under another name: connected again.
    done.clear();
    fs::create_symlink(device.Path(), PortDir() / "ttyACM3");
    QVERIFY(done.wait(20000));
    QVERIFY(w->Connected());
    QCOMPARE(m_sandbox->boxes.size(), boxesAtStart + 1);
  }

  void busyPortIsTriedAgainUntilItCanBeOpened() {
    Device device(emu::DeviceKind::kTallis);
    auto w = OpenEmpty();
    QVERIFY(w);
    // Another program of ours holds the port, as a modem manager probing a
    // new port would.
    const int holder = ::open(device.Path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(holder >= 0);
    QCOMPARE(::flock(holder, LOCK_EX | LOCK_NB), 0);
    QSignalSpy done(w.get(), &MainWindow::commandDone);
    fs::create_symlink(device.Path(), PortDir() / "ttyUSB1");
    QVERIFY(done.wait(20000));
    QVERIFY(!w->Connected());
    QTRY_VERIFY_WITH_TIMEOUT(w->StatusText()->text().contains(QStringLiteral("cannot be opened yet; trying again")), 20000);
    QVERIFY2(w->StatusText()->text().contains(QStringLiteral("Another program is using the port")),
             qPrintable(w->StatusText()->text()));
    ::close(holder);
    QTRY_VERIFY_WITH_TIMEOUT(w->Connected(), 20000);
    const size_t boxes = m_sandbox->boxes.size();
    QCOMPARE(boxes, size_t{1});  // only the first "Auto" of the start
  }

  void portThatStaysBusyIsGivenUpWithItsReason() {
    Device device(emu::DeviceKind::kTallis);
    auto w = OpenEmpty(0);
    QVERIFY(w);
    const int holder = ::open(device.Path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(holder >= 0);
    QCOMPARE(::flock(holder, LOCK_EX | LOCK_NB), 0);
    QSignalSpy done(w.get(), &MainWindow::commandDone);
    fs::create_symlink(device.Path(), PortDir() / "ttyUSB2");
    QVERIFY(done.wait(20000));
    ::close(holder);
    QVERIFY(!w->Connected());
    const QString status = w->StatusText()->text();
    QVERIFY2(status.startsWith(QStringLiteral("The port plugged in stays busy or cannot be opened: Cannot open ")),
             qPrintable(status));
    const auto log = w->Log().Entries();
    QVERIFY(!log.empty());
    QCOMPARE(QString::fromStdString(log.back()), status);
  }

  void anotherPortsTroubleIsNotWaitedOut() {
    // A port that was there before, held by another program for good.
    Device held(emu::DeviceKind::kTallis);
    const int holder = ::open(held.Path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(holder >= 0);
    QCOMPARE(::flock(holder, LOCK_EX | LOCK_NB), 0);
    fs::create_symlink(held.Path(), PortDir() / "ttyHELD");
    auto w = OpenEmpty();
    QVERIFY(w);
    // A port plugged in where nothing answers (it opens fine).
    PtyMaster silent;
    QSignalSpy done(w.get(), &MainWindow::commandDone);
    fs::create_symlink(silent.slave, PortDir() / "ttyNEW");
    QVERIFY(done.wait(20000));
    QVERIFY(!w->Connected());
    const QString status = w->StatusText()->text();
    QVERIFY2(status.startsWith(QStringLiteral("No device detected")), qPrintable(status));
    QVERIFY(!w->Device().Busy());
    ::close(holder);
  }

  void unplugDuringACommandDisconnectsOnceItHasEnded() {
    // A device slow to answer, so that the refresh below is still running
    // when its port goes.
    QTemporaryDir root;
    fs::create_directories(fs::path(QFile::encodeName(root.path()).toStdString()) / "MATHS");
    emu::DeviceOptions options;
    options.kind = emu::DeviceKind::kTallis;
    options.root = QFile::encodeName(root.path()).toStdString();
    options.turnaroundMs = 300;
    emu::EmulatedDevice device(options);
    const std::string pty = device.StartPty();
    auto w = OpenEmpty();
    QVERIFY(w);
    QSignalSpy done(w.get(), &MainWindow::commandDone);
    fs::create_symlink(pty, PortDir() / "ttyS9");
    QVERIFY(done.wait(20000));
    QVERIFY(w->Connected());
    const size_t boxes = m_sandbox->boxes.size();

    done.clear();
    w->RefreshFolder();
    QVERIFY(w->Device().Busy());
    QSignalSpy listed(w.get(), &MainWindow::portsChanged);
    fs::remove(PortDir() / "ttyS9");
    QVERIFY(listed.wait(20000));
    // The refresh ends as it would; the disconnect follows it.
    QTRY_VERIFY_WITH_TIMEOUT(!w->Connected(), 20000);
    QVERIFY(done.count() >= 2);
    QCOMPARE(m_sandbox->boxes.size(), boxes + 1);
    QCOMPARE(m_sandbox->boxes.back().text, MessageText(kConnectionErrorText));
    device.Stop();
  }

  void portsAppearingWhileConnectedOnlyJoinTheList() {
    Device first(emu::DeviceKind::kTallis);
    Device second(emu::DeviceKind::kTallis);
    auto w = OpenEmpty();
    QVERIFY(w);
    QSignalSpy done(w.get(), &MainWindow::commandDone);
    fs::create_symlink(first.Path(), PortDir() / "ttyA");
    QVERIFY(done.wait(20000));
    QVERIFY(w->Connected());
    const size_t commandsOfFirst = first.Emu().Commands().size();

    QSignalSpy listed(w.get(), &MainWindow::portsChanged);
    fs::create_symlink(second.Path(), PortDir() / "ttyB");
    QVERIFY(listed.wait(20000));
    QVERIFY(PortEntries(*w).contains(QString::fromStdString((PortDir() / "ttyB").string())));
    QVERIFY(!w->Device().Busy());
    QVERIFY(w->Connected());
    QVERIFY(second.Emu().Commands().empty());
    QCOMPARE(first.Emu().Commands().size(), commandsOfFirst);

    // The other device's port vanishing leaves the connection alone.
    listed.clear();
    fs::remove(PortDir() / "ttyB");
    QVERIFY(listed.wait(20000));
    QVERIFY(!w->Device().Busy());
    QVERIFY(w->Connected());
    QCOMPARE(m_sandbox->boxes.size(), size_t{1});
  }
};

QTEST_MAIN(TestMainWindowPorts)
#include "tst_main_window_ports.moc"
