#include "gui/main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSocketNotifier>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QToolBar>

#include <algorithm>
#include <sstream>

#include "desktop/fetched_copies.h"
#include "desktop/local_files.h"
#include "gui/about_dialog.h"
#include "gui/address_dialog.h"
#include "gui/device_controller.h"
#include "gui/entry_list_model.h"
#include "gui/folder_mount.h"
#include "gui/image_list.h"
#include "gui/log_window.h"
#include "gui/mandelbrot_window.h"
#include "gui/message_box.h"
#include "gui/properties_dialog.h"
#include "gui/qt_session_host.h"
#include "gui/transfer_dialog.h"
#include "gui/window_geometry_store.h"
#include "link/port_watch.h"
#include "link/serial_port.h"
#include "session/device_session.h"
#include "session/status_dialog.h"

namespace corvane {

MainWindow::MainWindow(const MainWindowOptions& options, QWidget* parent)
    : QMainWindow(parent), m_options(options), m_log(std::make_unique<LogModel>()) {
  setObjectName(QStringLiteral("Form1"));
  // Title and caption by the device kind.
  const QString title = GetDeviceName() + QStringLiteral(" Connectivity Kit");
  SetApplicationTitle(title);
  setWindowTitle(title);
  setWindowIcon(ImageListIcon(kImageReconnect));

  m_hooks.dragOut = [this] { DragSelectionOut(); };
  m_hooks.dropFiles = [this](const QStringList& paths, const Bytes& folder) { DropFiles(paths, folder); };
  m_hooks.open = [this](const QModelIndex& index) { OpenEntry(index.row()); };
  m_hooks.key = [this](QKeyEvent* event) { return HandleListKey(event); };

  BuildActions();
  BuildToolbar();
  BuildViews();
  BuildMenus();
  move(52, 39);
  resize(398, 332 + menuBar()->sizeHint().height());

  SetUpDevice();
  // Copies that earlier runs fetched are not this device's files as of now.
  // (This run's own go with the window: see m_runFolder.)
  try {
    ClearStaleFetchedCopies(PrivateTempFolder());
  } catch (const std::exception&) {
    // The private folder is unusable: the first Copy or drag says why.
  }

  // Saved position and font.
  m_geometry = std::make_unique<WindowGeometryStore>(this);
  m_geometry->MainKey = QStringLiteral("Corvane\\Quillon Connectivity kit");
  m_geometry->RestorePositions(true, true);

  // The root of the folder tree.
  auto* rootNode = new QTreeWidgetItem(m_tree, QStringList(GetDeviceName()));
  rootNode->setIcon(0, FolderIcon());
  rootNode->setData(0, FolderTreeView::kPathRole, QByteArray("\\"));

  // Ports and baud rate; the list follows the ports plugged in and out.
  SetUpPortWatch();
  FillPortList();
  m_baud->setCurrentIndex(m_options.quillon ? 1 : 0);
  SetConnected(false);
  connect(QApplication::clipboard(), &QClipboard::dataChanged, this, [this] {
    m_clipboardHasFiles = !ClipboardFiles().isEmpty();
    UpdateSelectionState();
  });
  UpdateEditCommands();

  // Connect at once with "Auto", once the window is on screen so that the
  // busy panel shows while the ports are tried.
  m_ports->setCurrentIndex(0);
  // "Files" is 182 pixels wide as designed, unless that would hide "Size" on
  // a desktop whose font makes the list narrower than the design's.
  QTimer::singleShot(0, this, [this] {
    const int room = m_details->viewport()->width() - m_details->header()->sectionSizeHint(1);
    if (room < 182) m_details->header()->resizeSection(0, std::max(100, room));
  });
  if (m_options.connectAtStart) QTimer::singleShot(0, this, &MainWindow::ConnectSelectedPort);
}

void MainWindow::SetUpDevice() {
  // The log window, the dialogs and the device worker with its session.
  m_logWindow = new LogWindow(*m_log, this);
  m_transferDialog = new TransferDialog(this);
  m_addressDialog = new AddressDialog(this);
  m_propertiesDialog = new PropertiesDialog(this);
  m_host = std::make_unique<QtSessionHost>(this, m_addressDialog, m_transferDialog);
  m_device = new DeviceController(*m_host, *m_log, this);
  connect(m_device, &DeviceController::busyChanged, this, [this](bool busy) { ShowBusy(busy && m_panelWanted); });
  connect(m_device, &DeviceController::refused, this, &MainWindow::ShowStatus);
  connect(m_device, &DeviceController::finished, this, &MainWindow::commandDone);
  connect(m_device, &DeviceController::idle, this, [this] {
    if (m_closeWhenIdle) close();
  });
  DeviceSession& session = m_device->Session();
  if (m_options.listPorts) session.ListPorts = m_options.listPorts;
  session.IsQuillon = m_options.quillon;
  session.OnMessage = [this](DeviceSession&, const std::string& text) {
    const QString line = MessageText(text);
    QMetaObject::invokeMethod(
        this,
        [this, line] {
          ShowStatus(line);
          m_sessionLineAt = m_transferDialog->Updates();
        },
        Qt::QueuedConnection);
  };
}

MainWindow::~MainWindow() {
  // The mount uses the device worker: it ends first.
  if (m_folderMount) {
    m_device->ProgramEnding();
    CloseFolderMount();
  }
  // The window refuses to close while a command runs, so the device thread is
  // idle: it ends first (closing the port), while the host it calls still lives.
  m_timer->stop();
  m_device->Session().OnMessage = nullptr;
  delete m_device;
  m_device = nullptr;
  // The log window draws the log, which goes with this object's members.
  delete m_logWindow;
  m_logWindow = nullptr;
}

QString MainWindow::GetDeviceName() const {
  return m_options.quillon ? QStringLiteral("Corvane Quillon") : QStringLiteral("Corvane Tallis");
}

// ---------------------------------------------------------------- layout --

void MainWindow::BuildActions() {
  auto make = [this](const QString& name, const QString& text, const QKeySequence& key = {}) {
    auto* a = new QAction(text, this);
    a->setObjectName(name);
    if (!key.isEmpty()) a->setShortcut(key);
    return a;
  };
  m_delete = make(QStringLiteral("Delete1"), QStringLiteral("&Delete"));
  m_properties = make(QStringLiteral("Property1"), QStringLiteral("P&roperties"));
  m_reconnect = make(QStringLiteral("Reconnect1"), QStringLiteral("(R&e)Connect"));
  m_close = make(QStringLiteral("Close1"), QStringLiteral("Close"));
  // The desktop's Quit key closes the window, as Close does.
  QList<QKeySequence> quit = QKeySequence::keyBindings(QKeySequence::Quit);
  if (quit.isEmpty()) quit << QKeySequence(Qt::CTRL | Qt::Key_Q);
  m_close->setShortcuts(quit);
  m_copy = make(QStringLiteral("Copy1"), QStringLiteral("&Copy"), QKeySequence(Qt::CTRL | Qt::Key_C));
  m_paste = make(QStringLiteral("Paste1"), QStringLiteral("&Paste"), QKeySequence(Qt::CTRL | Qt::Key_V));
  m_selectAll = make(QStringLiteral("SelectAll1"), QStringLiteral("Select &All"), QKeySequence(Qt::CTRL | Qt::Key_A));
  m_invert = make(QStringLiteral("InvertSelection1"), QStringLiteral("&Invert Selection"));
  m_toolbarToggle = make(QStringLiteral("Toolbar1"), QStringLiteral("&Toolbar"));
  m_statusToggle = make(QStringLiteral("StatusBar1"), QStringLiteral("Status &Bar"));
  m_large = make(QStringLiteral("LargeIcons1"), QStringLiteral("Lar&ge Icons"));
  m_small = make(QStringLiteral("SmallIcons1"), QStringLiteral("S&mall Icons"));
  m_listStyle = make(QStringLiteral("List1"), QStringLiteral("&List"));
  m_detailsStyle = make(QStringLiteral("Details1"), QStringLiteral("&Details"));
  m_refresh = make(QStringLiteral("Refresh1"), QStringLiteral("&Refresh"), QKeySequence(Qt::Key_F5));
  m_logEntry = make(QStringLiteral("Log1"), QStringLiteral("&Log"));
  m_capture = make(QStringLiteral("ScreenCapture1"), QStringLiteral("&Screen capture"), QKeySequence(Qt::CTRL | Qt::Key_S));
  m_upgrade = make(QStringLiteral("Upgrade1"), QStringLiteral("&Upgrade remote device"));
  m_help = make(QStringLiteral("Help1"), QStringLiteral("&Help"));
  m_about = make(QStringLiteral("About1"), QStringLiteral("&About"));
  m_popDelete = make(QStringLiteral("PopDelete1"), QStringLiteral("&Delete"));
  m_popProperties = make(QStringLiteral("PopProperty1"), QStringLiteral("P&roperties"));
  m_popCopy = make(QStringLiteral("PopCopy1"), QStringLiteral("&Copy"));
  m_popPaste = make(QStringLiteral("PopPaste1"), QStringLiteral("&Paste"));
  m_popRefresh = make(QStringLiteral("PopRefresh1"), QStringLiteral("&Refresh"));

  // The list's own shortcuts must not fire while a caption is being edited.
  for (QAction* a : {m_copy, m_paste, m_selectAll}) a->setShortcutContext(Qt::WindowShortcut);

  m_toolbarToggle->setCheckable(true);
  m_statusToggle->setCheckable(true);
  auto* styles = new QActionGroup(this);
  for (QAction* a : {m_large, m_small, m_listStyle, m_detailsStyle}) {
    a->setCheckable(true);
    styles->addAction(a);
  }
  m_large->setVisible(false);
  ConnectActions();
}

void MainWindow::ConnectActions() {
  connect(m_delete, &QAction::triggered, this, &MainWindow::DeleteSelected);
  connect(m_popDelete, &QAction::triggered, this, &MainWindow::DeleteSelected);
  connect(m_properties, &QAction::triggered, this, &MainWindow::ShowProperties);
  connect(m_popProperties, &QAction::triggered, this, &MainWindow::ShowProperties);
  connect(m_reconnect, &QAction::triggered, this, &MainWindow::Reconnect);
  connect(m_close, &QAction::triggered, this, &QWidget::close);
  connect(m_copy, &QAction::triggered, this, &MainWindow::CopyToClipboard);
  connect(m_popCopy, &QAction::triggered, this, &MainWindow::CopyToClipboard);
  connect(m_paste, &QAction::triggered, this, &MainWindow::PasteFromClipboard);
  connect(m_popPaste, &QAction::triggered, this, &MainWindow::PasteFromClipboard);
  connect(m_selectAll, &QAction::triggered, this, &MainWindow::SelectAll);
  connect(m_invert, &QAction::triggered, this, &MainWindow::InvertSelection);
  connect(m_toolbarToggle, &QAction::triggered, this, [this] { m_toolbar->setVisible(!m_toolbar->isVisible()); });
  connect(m_statusToggle, &QAction::triggered, this, [this] { statusBar()->setVisible(!statusBar()->isVisible()); });
  connect(m_large, &QAction::triggered, this, [this] { SetViewStyle(ViewStyle::kLargeIcons); });
  connect(m_small, &QAction::triggered, this, [this] { SetViewStyle(ViewStyle::kSmallIcons); });
  connect(m_listStyle, &QAction::triggered, this, [this] { SetViewStyle(ViewStyle::kList); });
  connect(m_detailsStyle, &QAction::triggered, this, [this] { SetViewStyle(ViewStyle::kDetails); });
  connect(m_refresh, &QAction::triggered, this, &MainWindow::RefreshFolder);
  connect(m_popRefresh, &QAction::triggered, this, &MainWindow::RefreshFolder);
  connect(m_logEntry, &QAction::triggered, this, &MainWindow::ShowLog);
  connect(m_capture, &QAction::triggered, this, &MainWindow::CaptureScreen);
  connect(m_upgrade, &QAction::triggered, this, &MainWindow::UpgradeDevice);
  connect(m_help, &QAction::triggered, this, [] { OpenHelp(); });
  connect(m_about, &QAction::triggered, this, [this] { ShowAboutBox(this, GetDeviceName()); });
}

void MainWindow::BuildMenus() {
  m_fileMenu = menuBar()->addMenu(QStringLiteral("&File"));
  m_fileMenu->addAction(m_delete);
  m_fileMenu->addAction(m_properties);
  m_fileMenu->addSeparator();
  m_fileMenu->addAction(m_reconnect);
  m_fileMenu->addAction(MakeBackupAction());
  if (FolderMount::Available()) {
    m_openInFileManager = new QAction(QStringLiteral("Open in &file manager"), this);
    m_openInFileManager->setObjectName(QStringLiteral("OpenInFileManager1"));
    m_openInFileManager->setEnabled(false);
    connect(m_openInFileManager, &QAction::triggered, this, &MainWindow::OpenInFileManager);
    m_fileMenu->addAction(m_openInFileManager);
  }
  m_fileMenu->addSeparator();
  m_fileMenu->addAction(m_close);
  connect(m_fileMenu, &QMenu::aboutToShow, this, &MainWindow::UpdateFileMenu);

  m_editMenu = menuBar()->addMenu(QStringLiteral("&Edit"));
  m_editMenu->addAction(m_copy);
  m_editMenu->addAction(m_paste);
  m_editMenu->addSeparator();
  m_editMenu->addAction(m_selectAll);
  m_editMenu->addAction(m_invert);
  connect(m_editMenu, &QMenu::aboutToShow, this, &MainWindow::UpdateEditCommands);

  m_viewMenu = menuBar()->addMenu(QStringLiteral("&View"));
  m_viewMenu->addAction(m_toolbarToggle);
  m_viewMenu->addAction(m_statusToggle);
  m_viewMenu->addSeparator();
  m_viewMenu->addAction(m_large);
  m_viewMenu->addAction(m_small);
  m_viewMenu->addAction(m_listStyle);
  m_viewMenu->addAction(m_detailsStyle);
  m_viewMenu->addSeparator();
  m_viewMenu->addAction(m_refresh);
  m_viewMenu->addAction(m_logEntry);
  connect(m_viewMenu, &QMenu::aboutToShow, this, &MainWindow::UpdateViewMenu);

  m_toolsMenu = menuBar()->addMenu(QStringLiteral("&Tools"));
  m_toolsMenu->addAction(m_capture);
  m_toolsMenu->addAction(m_upgrade);
  m_toolsMenuAction = m_toolsMenu->menuAction();
  m_toolsMenuAction->setVisible(m_options.quillon);
  // The shortcut of a hidden menu's entry must not act either.
  m_capture->setEnabled(m_options.quillon);

  m_helpMenu = menuBar()->addMenu(QStringLiteral("&Help"));
  m_helpMenu->addAction(m_help);
  m_helpMenu->addAction(m_about);

  m_popup = new QMenu(this);
  m_popup->setObjectName(QStringLiteral("PopupMenu1"));
  m_popup->addAction(m_popDelete);
  m_popup->addAction(m_popProperties);
  m_popup->addSeparator();
  m_popup->addAction(m_popCopy);
  m_popup->addAction(m_popPaste);
  m_popup->addSeparator();
  m_popup->addAction(m_popRefresh);
  connect(m_popup, &QMenu::aboutToShow, this, &MainWindow::UpdateEditCommands);
}

void MainWindow::BuildToolbar() {
  m_toolbar = addToolBar(QStringLiteral("ToolBar2"));
  m_toolbar->setObjectName(QStringLiteral("ToolBar2"));
  m_toolbar->setMovable(false);
  m_toolbar->setIconSize(QSize(16, 16));
  m_toolbar->setToolButtonStyle(Qt::ToolButtonIconOnly);
  auto* label = new QLabel(QStringLiteral("  Connect using:"), m_toolbar);
  label->setObjectName(QStringLiteral("Label1"));
  label->setAlignment(Qt::AlignVCenter | Qt::AlignLeft);
  m_toolbar->addWidget(label);
  m_ports = new QComboBox(m_toolbar);
  m_ports->setObjectName(QStringLiteral("ComboBox1"));
  m_ports->setToolTip(QStringLiteral("Select a comm port"));
  m_ports->setMinimumWidth(81);
  m_ports->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  m_toolbar->addWidget(m_ports);
  connect(m_ports, &QComboBox::activated, this, [this](int) { ConnectSelectedPort(); });

  m_reconnectButton = m_toolbar->addAction(ImageListIcon(kImageReconnect), QStringLiteral("Reconnect"));
  m_reconnectButton->setObjectName(QStringLiteral("ToolButton4"));
  m_reconnectButton->setToolTip(QStringLiteral("Reconnect"));
  connect(m_reconnectButton, &QAction::triggered, this, &MainWindow::Reconnect);
  m_captureButton = m_toolbar->addAction(ImageListIcon(kImageCapture), QStringLiteral("Screen capture"));
  m_captureButton->setObjectName(QStringLiteral("ToolButton2"));
  m_captureButton->setToolTip(QStringLiteral("Screen capture"));
  m_captureButton->setVisible(m_options.quillon);
  connect(m_captureButton, &QAction::triggered, this, &MainWindow::CaptureScreen);
  m_upgradeButton = m_toolbar->addAction(ImageListIcon(kImageUpgrade), QStringLiteral("Upgrade calculator"));
  m_upgradeButton->setObjectName(QStringLiteral("ToolButton5"));
  m_upgradeButton->setToolTip(QStringLiteral("Upgrade calculator"));
  m_upgradeButton->setVisible(false);
  connect(m_upgradeButton, &QAction::triggered, this, &MainWindow::UpgradeDevice);
  m_killButton = m_toolbar->addAction(ImageListIcon(kImageStopServer), QStringLiteral("Stop the device's server"));
  m_killButton->setObjectName(QStringLiteral("ToolButton6"));
  m_killButton->setVisible(false);
  connect(m_killButton, &QAction::triggered, this, &MainWindow::StopDeviceServer);

  m_baud = new QComboBox(m_toolbar);
  m_baud->setObjectName(QStringLiteral("ComboBox2"));
  m_baud->addItems({QStringLiteral("9600"), QStringLiteral("115200"), QStringLiteral("19200")});
  m_baud->setMinimumWidth(72);
  m_toolbar->addWidget(m_baud)->setVisible(false);
  m_quillonBox = new QCheckBox(QStringLiteral("Quillon"), m_toolbar);
  m_quillonBox->setObjectName(QStringLiteral("CheckBox1"));
  m_quillonBox->setChecked(m_options.quillon);
  m_toolbar->addWidget(m_quillonBox)->setVisible(false);
  m_logButton = new QPushButton(QStringLiteral("Log"), m_toolbar);
  m_logButton->setObjectName(QStringLiteral("Button1"));
  connect(m_logButton, &QPushButton::clicked, this, &MainWindow::ShowLog);
  m_logButtonAction = m_toolbar->addWidget(m_logButton);
  m_logButtonAction->setVisible(false);
}

void MainWindow::FillPortList() {
  std::vector<std::string> ports;
  {
    std::istringstream in(m_options.listPorts ? m_options.listPorts() : ListSerialPorts());
    std::string line;
    while (std::getline(in, line))
      if (!line.empty()) ports.push_back(line);
  }
  std::stable_sort(ports.begin(), ports.end(), [](const std::string& a, const std::string& b) {
    return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) < 0;
  });
  m_ports->clear();
  m_ports->addItem(QStringLiteral("Auto"));
  for (const auto& p : ports) m_ports->addItem(QString::fromStdString(p), QString::fromStdString(p));
  if (m_options.quillon) m_ports->addItem(QStringLiteral("TCP/IP"));
  m_ports->addItem(QStringLiteral("disconnect"));
}

QString MainWindow::PortPathOf(int index) const {
  const QVariant path = m_ports->itemData(index);
  return path.isValid() ? path.toString() : m_ports->itemText(index);
}

QAbstractItemView* MainWindow::CurrentListView() const {
  return m_style == ViewStyle::kDetails ? static_cast<QAbstractItemView*>(m_details)
                                        : static_cast<QAbstractItemView*>(m_icons);
}

QWidget* MainWindow::ListArea() const { return m_listStack; }

QAction* MainWindow::Action(const QString& objectName) const { return findChild<QAction*>(objectName); }

// ------------------------------------------------------ state and helpers --

void MainWindow::ShowStatus(const QString& text) {
  m_sessionLineAt.reset();
  m_status->setText(text);
  m_status->repaint();
}

void MainWindow::SetConnected(bool connected) {
  m_connected = connected;
  UpdateControls();
  // The link was lost: the mount ends with it (after the command's result has been handled).
  if (!connected && m_folderMount)
    QTimer::singleShot(0, this, [this] {
      if (!m_connected) CloseFolderMount();
    });
}

void MainWindow::UpdateControls() {
  m_listStack->setEnabled(m_connected);
  m_tree->setEnabled(m_connected);
  m_delete->setEnabled(m_connected);
  m_refresh->setEnabled(m_connected);
  m_paste->setEnabled(m_connected);
  m_copy->setEnabled(m_connected);
  if (m_openInFileManager) m_openInFileManager->setEnabled(m_connected && !m_link.upgradeMode);
}

void MainWindow::UpdateSelectionState() {
  // The menu rules, kept current as the selection and the clipboard change so
  // that the shortcuts follow them as well as the menus.
  const bool selected = m_selection->hasSelection();
  for (QAction* a : {m_copy, m_delete, m_properties, m_popCopy, m_popDelete, m_popProperties}) a->setEnabled(selected);
  m_paste->setEnabled(m_clipboardHasFiles);
  m_popPaste->setEnabled(m_clipboardHasFiles);
}

void MainWindow::UpdateEditCommands() {
  m_clipboardHasFiles = !ClipboardFiles().isEmpty();
  UpdateSelectionState();
}

void MainWindow::UpdateFileMenu() { m_properties->setEnabled(m_selection->hasSelection()); }

bool MainWindow::BusyPanelVisible() const { return m_panel->isVisible(); }

bool MainWindow::RefreshPending() const { return m_timer->isActive(); }

void MainWindow::ShowBusy(bool on) {
  // Shown for the commands that ask for it, while the device works on them.
  if (on && !m_panel->isVisible()) {
    PlaceBusyPanel();
    m_panel->show();
    m_panel->raise();
  } else if (!on) {
    m_panel->hide();
  }
}

void MainWindow::PlaceBusyPanel() {
  // Over the middle of the window, wherever it has been resized to.
  m_panel->move((width() - m_panel->width()) / 2, (height() - m_panel->height()) / 2);
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  PlaceBusyPanel();
}

bool MainWindow::HandleListKey(QKeyEvent* event) {
  const bool ctrl = event->modifiers() & Qt::ControlModifier;
  if (event->key() == Qt::Key_Delete) {
    DeleteSelected();
    return true;
  }
  if (event->key() == Qt::Key_M && ctrl) {
    if (m_mandelbrotWindow == nullptr) m_mandelbrotWindow = new MandelbrotWindow(this);
    m_mandelbrotWindow->exec();
    return true;
  }
  if (event->key() == Qt::Key_K && ctrl) {
    StopDeviceServer();
    return true;
  }
  return false;
}

void MainWindow::SelectAll() { CurrentListView()->selectAll(); }

void MainWindow::InvertSelection() {
  QItemSelection all(m_model->index(0, 0), m_model->index(m_model->rowCount() - 1, m_model->columnCount() - 1));
  if (m_model->rowCount() > 0) m_selection->select(all, QItemSelectionModel::Toggle | QItemSelectionModel::Rows);
}

void MainWindow::ShowLog() {
  m_logWindow->show();
  m_logWindow->raise();
  m_logWindow->activateWindow();
}

}  // namespace corvane
