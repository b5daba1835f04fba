// Where the main window's dialogs open, what the status bar says once a copy
// has ended, and the desktop's Quit key, against the emulated device.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "gui/about_dialog.h"
#include "gui/address_dialog.h"
#include "gui/device_controller.h"
#include "gui/entry_list_model.h"
#include "gui/main_window.h"
#include "gui/properties_dialog.h"
#include "gui/transfer_dialog.h"
#include "gui_fixture.h"

using namespace corvane;
using corvane::test::Await;
using corvane::test::Select;
using corvane::test::Device;
using corvane::test::Pattern;
using corvane::test::WriteBytes;
namespace fs = std::filesystem;

class TestMainWindowDialogs : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::GuiSandbox> m_sandbox;

  std::unique_ptr<MainWindow> Open(Device* device, bool quillon) {
    MainWindowOptions o;
    o.quillon = quillon;
    o.refreshDelayMs = 30;
    o.connectAtStart = device != nullptr;
    const std::string port = device != nullptr ? device->Path() + "\n" : std::string();
    o.listPorts = [port] { return port; };
    auto w = std::make_unique<MainWindow>(o);
    // Off the screen's centre, so that "centred on the screen" and "centred
    // on the window" are far apart.
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    w->move(area.topLeft() + QPoint(10, 10));
    w->resize(area.width() / 2, area.height() / 2);
    QSignalSpy done(w.get(), &MainWindow::commandDone);
    w->show();
    if (device != nullptr && !done.wait(30000)) return nullptr;
    return w;
  }
  // How far the centre of `dialog` is from the centre of `window`, frames included.
  static int OffCentre(const QWidget& dialog, const QWidget& window) {
    return (dialog.frameGeometry().center() - window.frameGeometry().center()).manhattanLength();
  }

 private slots:
  void init() { m_sandbox = std::make_unique<test::GuiSandbox>(); }
  void cleanup() {
    QApplication::clipboard()->clear();
    m_sandbox.reset();
  }

  // The transfer dialog opens over the middle of the window, not of the
  // screen; once the copy has ended, the status bar no longer says it is
  // copying: neither after a copy that arrived nor after a cancelled one.
  void theTransferDialogOpensOnTheWindowAndTheStatusBarMovesOn() {
    Device device(emu::DeviceKind::kQuillon, 9600);  // about a kilobyte a second
    WriteBytes(device.Root() / "one.bin", Pattern(3000, 3));
    WriteBytes(device.Root() / "slow.bin", Pattern(60000, 7));
    auto w = Open(&device, true);
    QVERIFY(w);
    TransferDialog* status = w->StatusForm();
    QCOMPARE(status->parentWidget(), w.get());
    int offCentre = -1;
    bool cancel = false;
    QStringList statusWhileCopying;
    connect(status, &TransferDialog::shown, this, [&] {
      offCentre = OffCentre(*status, *w);
      statusWhileCopying << w->StatusText()->text();
      if (cancel) QTest::mouseClick(status->CancelButton(), Qt::LeftButton);
    });

    Select(*w, {"one.bin"});
    QVERIFY(Await(*w, [&] { w->CopyToClipboard(); }));
    QVERIFY2(m_sandbox->boxes.empty(), qPrintable(m_sandbox->boxes.empty() ? QString() : m_sandbox->boxes[0].text));
    QVERIFY2(offCentre >= 0, "the transfer dialog never showed");
    QVERIFY2(offCentre <= 4, qPrintable(QStringLiteral("%1 pixels off the window's centre").arg(offCentre)));
    QCOMPARE(statusWhileCopying, QStringList{QStringLiteral("Copying one.bin")});
    QCOMPARE(QApplication::clipboard()->mimeData()->urls().size(), 1);
    QVERIFY2(!w->StatusText()->text().startsWith(QStringLiteral("Copying")), qPrintable(w->StatusText()->text()));

    // The window moved: the dialog follows it.
    w->move(w->pos() + QPoint(40, 30));
    cancel = true;
    offCentre = -1;
    Select(*w, {"slow.bin"});
    QVERIFY(Await(*w, [&] { w->CopyToClipboard(); }));
    QVERIFY(offCentre >= 0 && offCentre <= 4);
    QVERIFY(!status->isVisible());
    QVERIFY2(!w->StatusText()->text().startsWith(QStringLiteral("Copying")), qPrintable(w->StatusText()->text()));
  }

  // A line the session logs once the transfer is over is its result, and
  // stays: the screen capture's.
  void aResultLoggedAfterTheTransferStaysInTheStatusBar() {
    Device device(emu::DeviceKind::kQuillon);
    auto w = Open(&device, true);
    QVERIFY(w);
    const QString before = QDir::currentPath();
    QDir::setCurrent(m_sandbox->Path());
    QVERIFY(Await(*w, [&] { w->Action(QStringLiteral("ScreenCapture1"))->trigger(); }));
    QDir::setCurrent(before);
    QCOMPARE(w->StatusText()->text(), QStringLiteral("Screen received"));
  }

  // The About box, Properties, the address prompt and message boxes belong
  // to the main window, and open over it.
  void dialogsBelongToTheMainWindow() {
    auto w = Open(nullptr, true);
    QVERIFY(w);
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    QCOMPARE(w->PropertiesForm()->parentWidget(), w.get());
    QCOMPARE(w->AddressForm()->parentWidget(), w.get());

    // Each modal box as it shows: its parent and where it is, then closed.
    struct Seen {
      QWidget* parent = nullptr;
      int offCentre = -1;
      QString kind;
    };
    auto catchModal = [&](Seen& seen) {
      QTimer::singleShot(0, this, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr) return;
        seen.parent = modal->parentWidget();
        seen.offCentre = OffCentre(*modal, *w);
        seen.kind = QString::fromLatin1(modal->metaObject()->className());
        static_cast<QDialog*>(modal)->reject();
      });
    };
    Seen about;
    catchModal(about);
    w->Action(QStringLiteral("About1"))->trigger();
    QCOMPARE(about.kind, QStringLiteral("corvane::AboutDialog"));
    QCOMPARE(about.parent, w.get());
    QVERIFY2(about.offCentre <= 4, qPrintable(QString::number(about.offCentre)));

    Seen properties;
    catchModal(properties);
    w->PropertiesForm()->ShowProperties(QStringLiteral("a.txt\n"), 10, 1);
    QCOMPARE(properties.parent, w.get());
    QVERIFY2(properties.offCentre <= 4, qPrintable(QString::number(properties.offCentre)));

    Seen address;
    catchModal(address);
    std::string typed;
    QVERIFY(!w->AddressForm()->AskAddress(typed));
    QCOMPARE(address.parent, w.get());
    QVERIFY2(address.offCentre <= 4, qPrintable(QString::number(address.offCentre)));

    // An error box for a name the device cannot store, shown for real.
    SetMessageBoxHook(nullptr);
    const fs::path odd = fs::path(QFile::encodeName(m_sandbox->Path()).toStdString()) / "€uro.txt";
    WriteBytes(odd, "x");
    w->SetConnected(true);
    Seen error;
    catchModal(error);
    w->DropFiles({QString::fromStdString(odd.string())});
    QCOMPARE(error.kind, QStringLiteral("QMessageBox"));
    QCOMPARE(error.parent, w.get());
  }

  // File > Close answers the desktop's Quit key as well.
  void theQuitKeyClosesTheWindow() {
    auto w = Open(nullptr, false);
    QVERIFY(w);
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    QVERIFY(w->Action(QStringLiteral("Close1"))->shortcuts().contains(QKeySequence(Qt::CTRL | Qt::Key_Q)));
    QTest::keyClick(w.get(), Qt::Key_Q, Qt::ControlModifier);
    QVERIFY(!w->isVisible());
  }
};

QTEST_MAIN(TestMainWindowDialogs)
#include "tst_main_window_dialogs.moc"
