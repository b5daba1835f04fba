// Whole folders in the main window against the emulated device: Copy of a
// selection that holds a folder puts the fetched folder, with its whole tree,
// on the clipboard; a dropped local folder goes only where the device has the
// folders; File > "Back up device…" mirrors the device through its folder
// chooser.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QAbstractButton>
#include <QMimeData>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <map>

#include "desktop/backup.h"
#include "desktop/local_files.h"
#include "emulator/device_files.h"
#include "gui/device_controller.h"
#include "gui/entry_list_model.h"
#include "gui/main_window.h"
#include "gui/message_box.h"
#include "gui/transfer_dialog.h"
#include "gui_fixture.h"
#include "session/device_session.h"

using namespace corvane;
using corvane::test::Await;
using corvane::test::Select;
using corvane::test::Device;
using corvane::test::Pattern;
using corvane::test::ReadBytes;
using corvane::test::WriteBytes;
namespace fs = std::filesystem;

class TestMainWindowTree : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::GuiSandbox> m_sandbox;

  std::unique_ptr<MainWindow> Open(Device& device, bool quillon = true) {
    return test::OpenWindow(&device, quillon);
  }
  // Every file and folder below `root` with its bytes ("/" for a folder).
  static std::map<std::string, std::string> Tree(const fs::path& root) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
      const std::string rel = fs::relative(e.path(), root).string();
      if (rel != kManifestName) out[rel] = e.is_directory() ? "/" : ReadBytes(e.path());
    }
    return out;
  }

 private slots:
  void init() { m_sandbox = std::make_unique<test::GuiSandbox>(); }
  void cleanup() {
    QApplication::clipboard()->clear();
    m_sandbox.reset();
  }

  // A Tallis lists its folders among the entries (a Quillon shows them in the tree only).
  void copyOfAFolderPutsItsWholeTreeOnTheClipboard() {
    Device device(emu::DeviceKind::kTallis);
    const auto object = [](const std::string& body) {
      return emu::MakeTallisHeader(static_cast<uint32_t>(body.size())) + body;
    };
    WriteBytes(device.Root() / "Docs" / "a.txt", object(Pattern(1500, 1)));
    WriteBytes(device.Root() / "Docs" / "sub" / "deep.bin", object(Pattern(3000, 2)));
    fs::create_directories(device.Root() / "Docs" / "empty");
    WriteBytes(device.Root() / "top.txt", object("top"));
    auto w = Open(device, false);
    QVERIFY(w);
    Select(*w, {QStringLiteral("Docs"), QStringLiteral("top.txt")});
    QVERIFY(w->Action("Copy1")->isEnabled());
    const QString folder = QFile::decodeName(QByteArray::fromStdString(PrivateTempFolder()));
    QVERIFY(Await(*w, [&] { w->CopyToClipboard(); }));
    QVERIFY2(m_sandbox->boxes.empty(), m_sandbox->boxes.empty() ? "" : qPrintable(m_sandbox->boxes[0].text));

    const QStringList files = w->DownloadFiles();
    QCOMPARE(files.size(), 2);
    QVERIFY(files[0].endsWith(QStringLiteral("/Docs")));
    QVERIFY(files[0].startsWith(folder));
    const fs::path docs = QFile::encodeName(files[0]).toStdString();
    QVERIFY(Tree(docs) == Tree(device.Root() / "Docs"));
    QCOMPARE(ReadBytes(QFile::encodeName(files[1]).toStdString()), object("top"));
    // The top-level items go on the clipboard: the folder itself, not its files.
    const QMimeData* mime = QApplication::clipboard()->mimeData();
    QVERIFY(mime);
    QCOMPARE(mime->urls().size(), 2);
    QCOMPARE(mime->urls()[0].toLocalFile(), files[0]);
    QCOMPARE(mime->urls()[1].toLocalFile(), files[1]);
    // One transfer dialog for the whole run, closed as done.
    QCOMPARE(w->Device().Session().GetStatusDialog().GetResult(), StatusDialog::Result::kOk);

    // The device changes; a second Copy brings the private copy in line.
    fs::remove(device.Root() / "Docs" / "sub" / "deep.bin");
    WriteBytes(device.Root() / "Docs" / "new.txt", object("new"));
    QVERIFY(Await(*w, [&] { w->CopyToClipboard(); }));
    QVERIFY(Tree(docs) == Tree(device.Root() / "Docs"));
  }

  void aDroppedFolderGoesOnlyWhereTheDeviceHasItsFolders() {
    Device device(emu::DeviceKind::kQuillon);
    fs::create_directories(device.Root() / "in" / "sub");
    auto w = Open(device);
    QVERIFY(w);
    const fs::path local = QFile::encodeName(m_sandbox->Path()).toStdString();
    WriteBytes(local / "in" / "a.txt", "aaa");
    WriteBytes(local / "in" / "sub" / "b.txt", Pattern(2000, 3));
    WriteBytes(local / "in" / "missing" / "c.txt", "c");
    const QString in = QFile::decodeName(QByteArray::fromStdString((local / "in").string()));

    QVERIFY(Await(*w, [&] { w->DropFiles({in}); }));
    QCOMPARE(m_sandbox->boxes.size(), size_t{1});
    QVERIFY2(m_sandbox->boxes[0].text.contains(QStringLiteral("/in/missing")), qPrintable(m_sandbox->boxes[0].text));
    QVERIFY(device.PacketsOf('P').empty());

    fs::remove_all(local / "in" / "missing");
    QVERIFY(Await(*w, [&] { w->DropFiles({in}); }));
    QCOMPARE(m_sandbox->boxes.size(), size_t{1});
    QVERIFY(device.Emu().WaitForLog("Stored b.txt (", std::chrono::seconds(20)));
    QCOMPARE(ReadBytes(device.Root() / "in" / "sub" / "b.txt"), Pattern(2000, 3));
    QCOMPARE(ReadBytes(device.Root() / "in" / "a.txt"), std::string("aaa"));
  }

  void backUpDeviceFromTheFileMenuMirrorsTheDevice() {
    Device device(emu::DeviceKind::kQuillon);
    WriteBytes(device.Root() / "Docs" / "a.txt", Pattern(1500, 4));
    WriteBytes(device.Root() / "top.bin", Pattern(100, 5));
    auto w = Open(device);
    QVERIFY(w);
    QAction* action = w->Action(QStringLiteral("BackUp1"));
    QVERIFY(action);
    QCOMPARE(action->text(), QStringLiteral("Back up device…"));
    bool inFileMenu = false;
    for (QAction* menu : w->menuBar()->actions())
      if (menu->menu() != nullptr && menu->menu()->actions().contains(action)) inFileMenu = menu->text() == "&File";
    QVERIFY(inFileMenu);

    // The folder chooser is answered as a user would: a folder, then Choose.
    const QString dest = m_sandbox->Path() + QStringLiteral("/backup");
    QDir().mkpath(dest);
    bool chose = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      if (dialog == nullptr || dialog->objectName() != QStringLiteral("BackupFolderDialog")) return;
      poll.stop();
      dialog->setDirectory(dest);
      chose = true;
      QMetaObject::invokeMethod(dialog, "accept");
    });
    poll.start(20);
    QVERIFY(Await(*w, [&] { action->trigger(); }));
    QVERIFY(chose);
    QVERIFY2(m_sandbox->boxes.empty(), m_sandbox->boxes.empty() ? "" : qPrintable(m_sandbox->boxes[0].text));
    const fs::path destPath = QFile::encodeName(dest).toStdString();
    QVERIFY(Tree(destPath) == Tree(device.Root()));
    QVERIFY(ReadManifest(destPath.string()).complete);
    QVERIFY(w->StatusText()->text().contains(QStringLiteral("Backed up 2 files")));
  }

  // The upgrade's question with its own buttons: "Back up first…" runs the
  // backup, and the upgrade goes on (to its file chooser) only once the
  // backup is complete.
  void upgradeOffersABackupFirstAndGoesOnOnlyAfterASuccess() {
    Device device(emu::DeviceKind::kQuillon);
    WriteBytes(device.Root() / "a.txt", Pattern(500, 6));
    auto w = Open(device);
    QVERIFY(w);
    SetMessageBoxHook(nullptr);  // the real question, with its third button

    for (const bool succeed : {true, false}) {
      const QString dest = m_sandbox->Path() + (succeed ? QStringLiteral("/good") : QStringLiteral("/bad"));
      QDir().mkpath(dest);
      // A backup of the other device kind in the folder: this backup is refused.
      if (!succeed)
        WriteBytes(QFile::encodeName(dest + QStringLiteral("/manifest.json")).toStdString(),
                   "{\"kind\": \"tallis\", \"entries\": []}");
      bool askedBackup = false, choseFolder = false, upgradeChooser = false;
      QStringList errors;
      QTimer poll;
      connect(&poll, &QTimer::timeout, this, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
          if (box->objectName() == QStringLiteral("UpgradeQuestion")) {
            for (QAbstractButton* b : box->buttons())
              if (b->text() == QStringLiteral("Back up first…")) {
                askedBackup = true;
                b->click();
              }
          } else {
            errors << box->text();
            box->accept();
          }
        } else if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
          if (dialog->objectName() == QStringLiteral("BackupFolderDialog")) {
            dialog->setDirectory(dest);
            choseFolder = true;
            QMetaObject::invokeMethod(dialog, "accept");
          } else {
            upgradeChooser = true;  // the upgrade goes on: stop it here
            QMetaObject::invokeMethod(dialog, "reject");
          }
        }
      });
      poll.start(20);
      QVERIFY(Await(*w, [&] { w->UpgradeDevice(); }));
      QVERIFY(askedBackup);
      QVERIFY(choseFolder);
      if (succeed) {
        QTRY_VERIFY_WITH_TIMEOUT(upgradeChooser, 10000);
        QVERIFY(ReadManifest(QFile::encodeName(dest).toStdString()).complete);
        QVERIFY2(errors.isEmpty(), qPrintable(errors.join(QLatin1Char('\n'))));
      } else {
        QTRY_VERIFY_WITH_TIMEOUT(!errors.isEmpty(), 10000);
        QVERIFY2(errors[0].contains(QStringLiteral("holds a backup of a Tallis")), qPrintable(errors[0]));
        QTest::qWait(200);  // the event loop turns: nothing more comes
        QVERIFY(!upgradeChooser);
      }
    }
  }
};

QTEST_MAIN(TestMainWindowTree)
#include "tst_main_window_tree.moc"
