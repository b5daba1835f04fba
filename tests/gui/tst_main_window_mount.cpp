// File > "Open in file manager": the window mounts the connected device on
// its own device worker, hands the folder to the desktop (caught here by a
// URL handler), and unmounts when it disconnects or closes. The files are
// read through the mount with ordinary file calls on a thread of the test's,
// for the GUI thread keeps running the window. Needs /dev/fuse (root here):
// skipped without it, a failure when CI is set.
#include <QAction>
#include <QComboBox>
#include <QDesktopServices>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <thread>

#include "gui/device_controller.h"
#include "gui/folder_mount.h"
#include "gui/main_window.h"
#include "gui/message_box.h"
#include "gui_fixture.h"
#include "session/device_worker.h"

using namespace corvane;
using corvane::test::Device;
using corvane::test::WriteBytes;
namespace fs = std::filesystem;

namespace {

std::string SomeBytes(size_t n, unsigned seed) {
  std::string out(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (auto& c : out) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return out;
}

// Whether `folder` is a mount point, as this process's mount table says.
bool IsMountPoint(const QString& folder) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  const std::string wanted = QFile::encodeName(folder).toStdString();
  while (std::getline(in, line)) {
    // id parent major:minor root MOUNTPOINT ...
    std::istringstream fields(line);
    std::string id, parent, dev, root, point;
    fields >> id >> parent >> dev >> root >> point;
    if (point == wanted) return true;
  }
  return false;
}

// Reads a file whole with plain file calls on a thread of its own.
struct Reader {
  std::thread thread;
  std::atomic<bool> done{false};
  std::string bytes;
  int error = 0;  // errno of the failed call

  void Start(const QString& path) {
    const std::string file = QFile::encodeName(path).toStdString();
    thread = std::thread([this, file] {
      const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        error = errno;
      } else {
        char buf[65536];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) bytes.append(buf, static_cast<size_t>(n));
        if (n < 0) error = errno;
        ::close(fd);
      }
      done.store(true);
    });
  }
  ~Reader() {
    if (thread.joinable()) thread.join();
  }
};

}  // namespace

// Stands for the desktop's file manager: records the folders it was asked to open.
class UrlCatcher : public QObject {
  Q_OBJECT

 public:
  QList<QUrl> urls;

 public slots:
  void open(const QUrl& url) { urls << url; }
};

class TestMainWindowMount : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::GuiSandbox> m_sandbox;
  UrlCatcher m_catcher;
  QString m_runtime;

  QString Expected(const char* name) const { return m_runtime + QStringLiteral("/corvane/") + QLatin1String(name); }

  // Triggers the menu entry; the folder it opened, or empty.
  QString Open(MainWindow& w) {
    const qsizetype before = m_catcher.urls.size();
    QAction* a = w.Action(QStringLiteral("OpenInFileManager1"));
    if (a == nullptr || !a->isEnabled()) return {};
    a->trigger();
    return m_catcher.urls.size() == before + 1 ? m_catcher.urls.back().toLocalFile() : QString();
  }

  void Disconnect(MainWindow& w) {
    w.PortBox()->setCurrentIndex(w.PortBox()->findText(QStringLiteral("disconnect")));
    w.ConnectSelectedPort();
  }

 private slots:
  void initTestCase() {
    if (!FolderMount::Available()) QSKIP("built without libfuse 3");
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
      if (qEnvironmentVariableIsSet("CI")) QFAIL("the mount tests cannot run: /dev/fuse cannot be opened");
      QSKIP("/dev/fuse cannot be opened");
    }
    m_sandbox = std::make_unique<test::GuiSandbox>();
    m_runtime = m_sandbox->Path() + QStringLiteral("/run");
    QVERIFY(QDir().mkpath(m_runtime));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime));
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &m_catcher, "open");
  }
  void cleanupTestCase() { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }
  void init() {
    if (m_sandbox) m_sandbox->boxes.clear();
  }

  // The device's files read through the folder are its bytes; a second click
  // opens the same folder; a disconnect unmounts and takes the entry away.
  void mountsReadsAndUnmountsOnDisconnect() {
    Device dev(emu::DeviceKind::kQuillon);
    const std::string notes = SomeBytes(5000, 1), deep = SomeBytes(777, 2);
    WriteBytes(dev.Root() / "notes.txt", notes);
    WriteBytes(dev.Root() / "sub" / "deep.bin", deep);
    Reader first, second;
    auto w = test::OpenWindow(&dev, true);
    QVERIFY(w);
    QVERIFY(w->Connected());

    const QString folder = Open(*w);
    QCOMPARE(folder, Expected("quillon"));
    QCOMPARE(w->MountFolder(), folder);
    QVERIFY(IsMountPoint(folder));
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(m_runtime + QStringLiteral("/corvane")).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0700u);

    first.Start(folder + QStringLiteral("/notes.txt"));
    QTRY_VERIFY_WITH_TIMEOUT(first.done.load(), 20000);
    QCOMPARE(first.error, 0);
    QVERIFY(first.bytes == notes);
    second.Start(folder + QStringLiteral("/sub/deep.bin"));
    QTRY_VERIFY_WITH_TIMEOUT(second.done.load(), 20000);
    QCOMPARE(second.error, 0);
    QVERIFY(second.bytes == deep);

    // Mounted already: the folder is opened again, nothing else changes.
    QCOMPARE(Open(*w), folder);
    QVERIFY(IsMountPoint(folder));
    QVERIFY(m_sandbox->boxes.empty());

    // The window's own commands still run between the mount's.
    QTRY_VERIFY_WITH_TIMEOUT(!w->Device().Busy(), 20000);
    QVERIFY(test::Await(*w, [&] { w->RefreshFolder(); }));
    QVERIFY(m_sandbox->boxes.empty());

    // Files of the mount dropped on the window would have the device thread
    // wait on itself: refused with a box, and nothing is sent.
    const size_t commands = dev.Emu().Commands().size();
    QVERIFY(test::Await(*w, [&] { w->DropFiles({folder + QStringLiteral("/sub/deep.bin")}); }));
    QCOMPARE(m_sandbox->boxes.size(), size_t{1});
    QVERIFY(m_sandbox->boxes[0].text.contains(folder));
    QVERIFY(!w->Device().Busy());
    QCOMPARE(dev.Emu().Commands().size(), commands);
    QVERIFY(!fs::exists(dev.Root() / "deep.bin"));
    m_sandbox->boxes.clear();

    Disconnect(*w);
    QTRY_VERIFY_WITH_TIMEOUT(!w->Device().Busy() && !w->Connected(), 20000);
    QVERIFY(w->MountFolder().isEmpty());
    QVERIFY(!IsMountPoint(folder));
    QVERIFY(!w->Action(QStringLiteral("OpenInFileManager1"))->isEnabled());
    QVERIFY(m_sandbox->boxes.empty());
  }

  // While the mount reads a long file, a window command is refused as busy;
  // a disconnect then cancels the read (the reader gets an error at once,
  // not the whole file) and still disconnects.
  void disconnectDuringAReadCancelsItAndUnmounts() {
    // About 35 s of transfer at this rate: only a cancel ends it in time.
    Device dev(emu::DeviceKind::kQuillon, 115200);
    WriteBytes(dev.Root() / "long.bin", SomeBytes(400000, 3));
    Reader reader;
    auto w = test::OpenWindow(&dev, true);
    QVERIFY(w);
    const QString folder = Open(*w);
    QVERIFY(!folder.isEmpty());

    reader.Start(folder + QStringLiteral("/long.bin"));
    // The transfer runs: the worker is busy with a command that is not the window's.
    QTRY_VERIFY_WITH_TIMEOUT(w->Device().Busy() && w->Device().Session().GetStatusDialog().Shown(), 20000);
    QVERIFY(!w->Device().CommandRunning());
    QSignalSpy refused(&w->Device(), &DeviceController::refused);
    w->RefreshFolder();
    QCOMPARE(refused.count(), 1);
    QCOMPARE(refused.at(0).at(0).toString(), MessageText(kDeviceBusyText));
    QVERIFY(!reader.done.load());

    Disconnect(*w);
    QTRY_VERIFY_WITH_TIMEOUT(reader.done.load(), 10000);
    QVERIFY(reader.error == EINTR || reader.error == EIO);
    QVERIFY(!IsMountPoint(folder));
    QTRY_VERIFY_WITH_TIMEOUT(!w->Device().Busy() && !w->Connected(), 10000);
    QCOMPARE(w->PortBox()->currentText(), QStringLiteral("disconnect"));
    QVERIFY(m_sandbox->boxes.empty());
  }

  // Closing the window unmounts, also while a read runs.
  void closingUnmounts() {
    Device dev(emu::DeviceKind::kQuillon, 115200);
    WriteBytes(dev.Root() / "long.bin", SomeBytes(400000, 4));
    Reader reader;
    auto w = test::OpenWindow(&dev, true);
    QVERIFY(w);
    const QString folder = Open(*w);
    QVERIFY(!folder.isEmpty());
    reader.Start(folder + QStringLiteral("/long.bin"));
    QTRY_VERIFY_WITH_TIMEOUT(w->Device().Busy(), 20000);
    w->close();
    QTRY_VERIFY_WITH_TIMEOUT(!w->isVisible(), 10000);
    QVERIFY(!IsMountPoint(folder));
    QTRY_VERIFY_WITH_TIMEOUT(reader.done.load(), 10000);
    QVERIFY(reader.error != 0);
  }

  // Without a runtime folder there is nowhere private to mount: said, nothing done.
  void withoutARuntimeFolderSaysSo() {
    Device dev(emu::DeviceKind::kTallis);
    auto w = test::OpenWindow(&dev, false);
    QVERIFY(w);
    qunsetenv("XDG_RUNTIME_DIR");
    const qsizetype before = m_catcher.urls.size();
    w->Action(QStringLiteral("OpenInFileManager1"))->trigger();
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime));
    QCOMPARE(m_catcher.urls.size(), before);
    QVERIFY(w->MountFolder().isEmpty());
    QCOMPARE(m_sandbox->boxes.size(), size_t{1});
    QVERIFY(m_sandbox->boxes[0].text.contains(QStringLiteral("XDG_RUNTIME_DIR")));
    // With it the Tallis goes to a folder of its own kind.
    const QString folder = Open(*w);
    QCOMPARE(folder, Expected("tallis"));
    QVERIFY(IsMountPoint(folder));
    w.reset();
    QVERIFY(!IsMountPoint(folder));
  }
};

QTEST_MAIN(TestMainWindowMount)
#include "tst_main_window_mount.moc"
