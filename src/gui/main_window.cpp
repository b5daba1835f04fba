#include "gui/main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QScrollBar>
#include <QSet>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>
#include <QTreeWidget>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "desktop/file_lists.h"
#include "gui/file_list_mime.h"
#include "desktop/local_files.h"
#include "gui/about_dialog.h"
#include "gui/device_thread.h"
#include "gui/image_list.h"
#include "gui/log_window.h"
#include "gui/message_box.h"
#include "gui/address_dialog.h"
#include "gui/properties_dialog.h"
#include "gui/mandelbrot_window.h"
#include "gui/qt_session_host.h"
#include "gui/capture_window.h"
#include "gui/transfer_dialog.h"
#include "gui/transfer_estimate.h"
#include "gui/window_geometry_store.h"
#include "link/link_error.h"
#include "link/serial_port.h"
#include "session/status_dialog.h"
#include "session/device_session.h"
#include "upgrade/upgrade_system.h"

namespace corvane {
namespace {

constexpr int kNameRole = Qt::UserRole + 1;  // the entry's name as the device sent it (QByteArray)
constexpr int kSizeRole = Qt::UserRole + 2;  // the entry's size in bytes (qint64)
constexpr int kEntryRole = Qt::UserRole + 3;  // tree nodes: the folder's DeviceEntry

QString DeviceText(const Bytes& name) {
  return QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
}

QByteArray ToByteArray(const Bytes& b) { return QByteArray(b.data(), static_cast<qsizetype>(b.size())); }
Bytes ToBytes(const QByteArray& a) { return Bytes(a.constData(), static_cast<size_t>(a.size())); }

// A name typed by the user as the device's 8-bit text; false when it holds a
// character that 8 bits cannot carry.
bool ToDeviceName(const QString& text, Bytes& out) {
  out.clear();
  for (QChar c : text) {
    if (c.unicode() > 0xFF) return false;
    out += static_cast<char>(c.unicode());
  }
  return true;
}

std::string LocalPath(const QString& path) { return QFile::encodeName(path).toStdString(); }

// The mime data of a drag out: the uri list of files that are fetched from the
// device only when the user releases the button over a target that takes them.
class DeviceFilesMime final : public QMimeData {
 public:
  explicit DeviceFilesMime(std::function<void()> fetch) : m_fetch(std::move(fetch)) {}
  mutable bool Fetched = false;

 protected:
  QVariant retrieveData(const QString& mimeType, QMetaType type) const override {
    // A target may look at the list while the drag still runs; the files are
    // fetched once the button is up, which is the drop.
    if (!Fetched && m_fetch && QGuiApplication::mouseButtons() == Qt::NoButton &&
        mimeType == QLatin1String(kMimeUriList)) {
      Fetched = true;
      m_fetch();
    }
    return QMimeData::retrieveData(mimeType, type);
  }

 private:
  std::function<void()> m_fetch;
};

}  // namespace

// Shows the busy panel for as long as it lives (nested scopes share it).
class MainWindow::BusyScope {
 public:
  explicit BusyScope(MainWindow& w) : m_w(w) { m_w.ShowBusy(true); }
  ~BusyScope() { m_w.ShowBusy(false); }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  MainWindow& m_w;
};

MainWindow::MainWindow(const MainWindowOptions& options, QWidget* parent)
    : QMainWindow(parent), m_options(options), m_log(std::make_unique<LogModel>()), m_device(new DeviceThread(this)) {
  setObjectName(QStringLiteral("Form1"));
  // 1. Title and caption by the device kind.
  const QString title = GetDeviceName() + QStringLiteral(" Connectivity Kit");
  SetApplicationTitle(title);
  setWindowTitle(title);
  setWindowIcon(ImageListIcon(kImageReconnect));

  BuildActions();
  BuildToolbar();
  BuildViews();
  BuildMenus();
  move(52, 39);
  resize(398, 332 + menuBar()->sizeHint().height());

  // 2.-4. The log window, the dialogs and the session.
  m_logWindow = new LogWindow(*m_log, this);
  m_transferDialog = new TransferDialog(this);
  m_addressDialog = new AddressDialog(this);
  m_propertiesDialog = new PropertiesDialog(this);
  m_host = std::make_unique<QtSessionHost>(this, m_addressDialog, m_transferDialog);
  m_session = std::make_unique<DeviceSession>(*m_host, *m_log);
  if (m_options.listPorts) m_session->ListPorts = m_options.listPorts;
  m_session->OnMessage = [this](DeviceSession&, const std::string& text) {
    const QString line = MessageText(text);
    if (QThread::currentThread() == thread())
      ShowStatus(line);
    else
      QMetaObject::invokeMethod(this, [this, line] { ShowStatus(line); }, Qt::QueuedConnection);
  };

  // 5. Saved position and font.
  m_posSave = std::make_unique<WindowGeometryStore>(this);
  m_posSave->MainKey = QStringLiteral("Corvane\\Quillon Connectivity kit");
  m_posSave->RestorePositions(true, true);

  // 6. The root of the folder tree.
  m_root = std::make_unique<DeviceEntry>(m_session.get(), Bytes("\\"), 0, 0);
  auto* rootNode = new QTreeWidgetItem(m_tree, QStringList(GetDeviceName()));
  rootNode->setIcon(0, FolderIcon());
  rootNode->setData(0, kEntryRole, QVariant::fromValue(reinterpret_cast<quintptr>(m_root.get())));

  // 7. The device kind.
  m_session->IsQuillon = m_options.quillon;

  // 9.-11. Ports and baud rate.
  FillPortList();
  m_baud->setCurrentIndex(m_options.quillon ? 1 : 0);
  SetConnected(false);
  connect(QApplication::clipboard(), &QClipboard::dataChanged, this, [this] {
    m_clipboardHasFiles = ClipboardHasFiles();
    UpdateSelectionState();
  });
  UpdateEditCommands();

  // 12. Connect at once with "Auto", once the window is on screen so that the
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

MainWindow::~MainWindow() {
  // The device thread is idle here (closing is refused while it works).
  m_timer->stop();
  // The forms draw the log and the session's dialog: they go first.
  delete m_logWindow;
  delete m_transferDialog;
  delete m_captureWindow;
  delete m_mandelbrotWindow;
  m_logWindow = nullptr;
  m_transferDialog = nullptr;
  m_captureWindow = nullptr;
  m_mandelbrotWindow = nullptr;
  m_session->OnMessage = nullptr;
  m_root.reset();
  m_session.reset();
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

void MainWindow::BuildViews() {
  m_splitter = new QSplitter(Qt::Horizontal, this);
  m_splitter->setObjectName(QStringLiteral("Splitter1"));
  m_splitter->setHandleWidth(3);
  m_splitter->setOpaqueResize(true);
  m_splitter->setChildrenCollapsible(false);

  m_tree = new QTreeWidget(m_splitter);
  m_tree->setObjectName(QStringLiteral("TreeView1"));
  m_tree->setHeaderHidden(true);
  m_tree->setIndentation(19);
  m_tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_tree->setMouseTracking(true);
  m_tree->setAttribute(Qt::WA_Hover);
  m_tree->setIconSize(QSize(16, 16));
  m_tree->viewport()->installEventFilter(this);
  m_tree->installEventFilter(this);
  connect(m_tree, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current, QTreeWidgetItem*) {
    if (!m_treeGuard) ShowFolder(current);
  });

  m_model = new QStandardItemModel(0, 2, this);
  m_model->setHorizontalHeaderLabels({QStringLiteral("Files"), QStringLiteral("Size")});
  connect(m_model, &QStandardItemModel::itemChanged, this, &MainWindow::ListEdited);
  m_selection = new QItemSelectionModel(m_model, this);
  connect(m_selection, &QItemSelectionModel::selectionChanged, this, [this] { UpdateSelectionState(); });

  m_listStack = new QStackedWidget(m_splitter);
  m_listStack->setObjectName(QStringLiteral("ListView1"));
  m_details = new QTreeView(m_listStack);
  m_details->setObjectName(QStringLiteral("ListView1Details"));
  m_details->setRootIsDecorated(false);
  m_details->setItemsExpandable(false);
  m_details->setUniformRowHeights(true);
  m_details->setAllColumnsShowFocus(true);
  m_icons = new QListView(m_listStack);
  m_icons->setObjectName(QStringLiteral("ListView1Icons"));
  for (QAbstractItemView* v : {static_cast<QAbstractItemView*>(m_details), static_cast<QAbstractItemView*>(m_icons)}) {
    v->setModel(m_model);
    v->setSelectionModel(m_selection);
    v->setSelectionMode(QAbstractItemView::ExtendedSelection);
    v->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
    v->setDragEnabled(false);
    v->setContextMenuPolicy(Qt::CustomContextMenu);
    v->setIconSize(QSize(16, 16));
    v->viewport()->setAcceptDrops(true);
    v->viewport()->installEventFilter(this);
    v->installEventFilter(this);
    connect(v, &QWidget::customContextMenuRequested, this,
            [this, v](const QPoint& p) { m_popup->popup(v->viewport()->mapToGlobal(p)); });
  }
  m_details->header()->setMinimumSectionSize(40);
  m_details->header()->setDefaultSectionSize(50);
  m_details->header()->resizeSection(0, 182);
  m_details->header()->resizeSection(1, 50);
  m_details->header()->setStretchLastSection(false);
  m_details->header()->setSectionResizeMode(1, QHeaderView::Stretch);
  m_listStack->addWidget(m_details);
  m_listStack->addWidget(m_icons);
  m_splitter->addWidget(m_tree);
  m_splitter->addWidget(m_listStack);
  m_splitter->setStretchFactor(1, 1);
  m_splitter->setSizes({153, 242});
  setCentralWidget(m_splitter);

  m_status = new QLabel(this);
  m_status->setObjectName(QStringLiteral("StatusBar2"));
  m_status->setMinimumWidth(100);
  statusBar()->addWidget(m_status, 1);
  statusBar()->setSizeGripEnabled(true);

  m_panel = new QLabel(QStringLiteral("Please wait while connecting"), this);
  m_panel->setObjectName(QStringLiteral("Panel1"));
  m_panel->setAlignment(Qt::AlignCenter);
  m_panel->setWordWrap(true);
  m_panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  m_panel->setLineWidth(2);
  m_panel->setAutoFillBackground(true);
  m_panel->resize(std::max(185, m_panel->fontMetrics().horizontalAdvance(m_panel->text()) + 24), 81);
  m_panel->hide();

  m_timer = new QTimer(this);
  m_timer->setObjectName(QStringLiteral("Timer1"));
  m_timer->setInterval(m_options.refreshDelayMs);
  connect(m_timer, &QTimer::timeout, this, &MainWindow::RefreshFolder);

  SetViewStyle(ViewStyle::kDetails);
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

QAbstractItemView* MainWindow::ListView1() const {
  return m_style == ViewStyle::kDetails ? static_cast<QAbstractItemView*>(m_details)
                                        : static_cast<QAbstractItemView*>(m_icons);
}

QWidget* MainWindow::ListArea() const { return m_listStack; }

QAction* MainWindow::Action(const QString& objectName) const { return findChild<QAction*>(objectName); }

void MainWindow::SetViewStyle(ViewStyle style) {
  m_style = style;
  switch (style) {
    case ViewStyle::kDetails:
      m_listStack->setCurrentWidget(m_details);
      break;
    case ViewStyle::kList:
      m_icons->setViewMode(QListView::ListMode);
      m_icons->setFlow(QListView::TopToBottom);
      m_icons->setWrapping(true);
      m_icons->setIconSize(QSize(16, 16));
      m_icons->setGridSize(QSize());
      m_listStack->setCurrentWidget(m_icons);
      break;
    case ViewStyle::kSmallIcons:
      m_icons->setViewMode(QListView::ListMode);
      m_icons->setFlow(QListView::LeftToRight);
      m_icons->setWrapping(true);
      m_icons->setIconSize(QSize(16, 16));
      m_icons->setGridSize(QSize());
      m_listStack->setCurrentWidget(m_icons);
      break;
    case ViewStyle::kLargeIcons:
      m_icons->setViewMode(QListView::IconMode);
      m_icons->setIconSize(QSize(32, 32));
      m_icons->setGridSize(QSize(76, 64));
      m_icons->setMovement(QListView::Static);
      m_listStack->setCurrentWidget(m_icons);
      break;
  }
  m_icons->setSelectionModel(m_selection);
}

void MainWindow::UpdateViewMenu() {
  m_toolbarToggle->setChecked(m_toolbar->isVisible());
  m_statusToggle->setChecked(statusBar()->isVisible());
  m_large->setChecked(m_style == ViewStyle::kLargeIcons);
  m_small->setChecked(m_style == ViewStyle::kSmallIcons);
  m_listStyle->setChecked(m_style == ViewStyle::kList);
  m_detailsStyle->setChecked(m_style == ViewStyle::kDetails);
}

// ------------------------------------------------------ state and helpers --

void MainWindow::ShowStatus(const QString& text) {
  m_status->setText(text);
  m_status->repaint();
}

void MainWindow::SetConnected(bool connected) {
  m_connected = connected;
  UpdateControls();
}

void MainWindow::UpdateControls() {
  m_listStack->setEnabled(m_connected);
  m_tree->setEnabled(m_connected);
  m_delete->setEnabled(m_connected);
  m_refresh->setEnabled(m_connected);
  m_paste->setEnabled(m_connected);
  m_copy->setEnabled(m_connected);
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
  m_clipboardHasFiles = ClipboardHasFiles();
  UpdateSelectionState();
}

void MainWindow::UpdateFileMenu() { m_properties->setEnabled(m_selection->hasSelection()); }

bool MainWindow::BusyPanelVisible() const { return m_busyDepth > 0; }

bool MainWindow::RefreshPending() const { return m_timer->isActive(); }

void MainWindow::ShowBusy(bool on) {
  m_busyDepth += on ? 1 : -1;
  if (m_busyDepth > 0 && !m_panel->isVisible()) {
    PlaceBusyPanel();
    m_panel->show();
    m_panel->raise();
    m_panel->repaint();
  } else if (m_busyDepth == 0) {
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

void MainWindow::ArmRefresh() { m_timer->start(); }

void MainWindow::Refuse() {
  QApplication::beep();
  ShowStatus(MessageText(DeviceBusy().what()));
}

void MainWindow::ShowError(const std::exception& e) { ShowErrorBox(this, MessageText(e.what())); }

void MainWindow::Command(const std::function<void()>& body) {
  if (m_device->Busy() || m_dragInProgress) {
    Refuse();
    return;
  }
  try {
    body();
  } catch (const DeviceBusy&) {
    Refuse();
  } catch (const std::exception& e) {
    ShowError(e);
  }
  emit commandDone();
}

void MainWindow::RunOnDevice(const std::function<void()>& job) { m_device->Run(job); }

DeviceEntry* MainWindow::EntryOf(QTreeWidgetItem* node) const {
  if (node == nullptr) return nullptr;
  return reinterpret_cast<DeviceEntry*>(node->data(0, kEntryRole).value<quintptr>());
}

void MainWindow::DeleteChildNodes(QTreeWidgetItem* node) {
  while (node->childCount() > 0) delete node->takeChild(node->childCount() - 1);
}

void MainWindow::ClearList() {
  m_populating = true;
  m_model->removeRows(0, m_model->rowCount());
  m_populating = false;
}

void MainWindow::AddListItem(const DeviceEntry& entry) {
  m_populating = true;
  auto* name = new QStandardItem(ImageListIcon(entry.Kind), DeviceText(entry.Name));
  name->setData(ToByteArray(entry.Name), kNameRole);
  name->setData(QVariant::fromValue<qint64>(entry.Size), kSizeRole);
  name->setEditable(true);
  name->setDropEnabled(false);
  auto* size = new QStandardItem(QString::number(entry.Size));
  size->setEditable(false);
  m_model->appendRow({name, size});
  m_populating = false;
}

std::vector<MainWindow::Selected> MainWindow::SelectedEntries() const {
  std::vector<Selected> out;
  for (int row = 0; row < m_model->rowCount(); ++row) {
    if (!m_selection->isRowSelected(row, QModelIndex()) &&
        !m_selection->isSelected(m_model->index(row, 0)))
      continue;
    const QStandardItem* item = m_model->item(row, 0);
    const QStandardItem* size = m_model->item(row, 1);
    out.push_back({row, ToBytes(item->data(kNameRole).toByteArray()), size->text().toLongLong()});
  }
  return out;
}

// ------------------------------------------------------------ connecting --

void MainWindow::Reconnect() { ConnectSelectedPort(); }

void MainWindow::ConnectSelectedPort() {
  Command([this] {
    // A pending refresh is overtaken: the connect re-reads the root anyway.
    m_timer->stop();
    BusyScope busy(*this);
    SetConnected(false);
    const QString portText = m_ports->currentText();
    if (portText == QLatin1String("disconnect")) {
      RunOnDevice([this] { m_session->Connect("disconnect"); });
      return;
    }
    const std::string port = PortPathOf(m_ports->currentIndex()).toStdString();
    const std::string baud = m_baud->currentText().toStdString();
    try {
      RunOnDevice([&] {
        m_session->SetBaudRate(baud);
        m_session->Connect(port);
      });
      m_root->ClearChildren();
      DeleteChildNodes(m_tree->topLevelItem(0));
      if (!m_session->UpgradeMode) {
        SetConnected(m_session->IsConnected());
        QTreeWidgetItem* root = m_tree->topLevelItem(0);
        m_treeGuard = true;
        m_tree->setCurrentItem(root);
        m_treeGuard = false;
        try {
          ShowFolder(root);
        } catch (...) {
          SetConnected(m_session->IsConnected());
          throw;
        }
        ShowStatus(MessageText(m_session->Version));
      }
    } catch (...) {
      SetConnected(m_session->IsConnected());
      throw;
    }
    SetConnected(m_session->IsConnected());
  });
}

// ------------------------------------------------------------- browsing --

void MainWindow::ShowFolder(QTreeWidgetItem* node) {
  // Runs inside a command (connect, refresh) or as one of its own.
  auto body = [this, node] {
    BusyScope busy(*this);
    ClearList();
    if (node == nullptr) return;
    DeviceEntry* entry = EntryOf(node);
    if (entry == nullptr) return;
    m_currentPath = entry->GetPath();
    std::vector<std::unique_ptr<DeviceEntry>>* children = nullptr;
    RunOnDevice([&] { children = &entry->GetChildren(); });
    for (const auto& child : *children) {
      if (child->Name == "NETWORK") continue;
      if (child->IsDirectory()) {
        const QString text = DeviceText(child->Name);
        bool exists = false;
        for (int i = 0; i < node->childCount(); ++i)
          if (node->child(i)->text(0) == text) exists = true;
        if (!exists) {
          auto* n = new QTreeWidgetItem(node, QStringList(text));
          n->setIcon(0, FolderIcon());
          n->setData(0, kEntryRole, QVariant::fromValue(reinterpret_cast<quintptr>(child.get())));
        }
      }
      if (m_options.quillon && child->IsDirectory()) continue;
      AddListItem(*child);
    }
    node->setExpanded(true);
    ShowStatus(MessageText(m_session->Version));
  };
  if (m_device->Busy()) {
    Refuse();
    return;
  }
  if (m_busyDepth > 0) {
    body();  // part of a running command, which reports its errors
    return;
  }
  Command(body);
}

void MainWindow::RefreshFolder() {
  if (m_device->Busy() || m_dragInProgress) {
    // Try again once the running command has ended.
    if (m_timer->isActive()) return;
    Refuse();
    return;
  }
  Command([this] {
    BusyScope busy(*this);
    m_timer->stop();
    m_tree->setFocus();
    QTreeWidgetItem* node = m_tree->currentItem();
    if (node != nullptr) {
      DeleteChildNodes(node);
      if (DeviceEntry* entry = EntryOf(node)) entry->ClearChildren();
    }
    m_treeGuard = true;
    m_tree->setCurrentItem(nullptr);
    m_tree->setCurrentItem(node);
    m_treeGuard = false;
    ShowFolder(node);
    ShowStatus(MessageText(m_session->Version));
  });
}

// -------------------------------------------------------- file commands --

void MainWindow::PrepareDownloadList() {
  m_downloadNames.clear();
  m_downloadPaths.clear();
  m_downloadSizes.clear();
  const auto selected = SelectedEntries();
  if (selected.empty()) return;
  const std::string folder = PrivateTempFolder();
  QSet<QString> used;
  for (const auto& s : selected) {
    // Two device names can make the same safe local name ("a/b", "a_b"):
    // the second gets a number, so that neither file overwrites the other.
    const QString safe = QFile::decodeName(QByteArray::fromStdString(SafeLocalName(s.name)));
    QString local = safe;
    for (int n = 2; used.contains(local); ++n) {
      const qsizetype dot = safe.lastIndexOf(QLatin1Char('.'));
      local = dot > 0 ? safe.left(dot) + QStringLiteral(" (%1)").arg(n) + safe.mid(dot)
                      : safe + QStringLiteral(" (%1)").arg(n);
    }
    used.insert(local);
    m_downloadNames.push_back(s.name);
    m_downloadPaths.push_back(QFile::decodeName(QByteArray::fromStdString(JoinLocalPath(folder, LocalPath(local)))));
    m_downloadSizes.push_back(s.size);
  }
}

bool MainWindow::FetchFiles(bool changeDir) {
  bool ok = true;
  const Bytes path = m_currentPath;
  std::vector<std::string> locals;
  for (const QString& p : m_downloadPaths) locals.push_back(LocalPath(p));
  RunOnDevice([&] {
    if (changeDir) m_session->ChangeDir(path);
    for (size_t i = 0; i < m_downloadNames.size(); ++i) {
      if (!m_session->GetFile(m_downloadNames[i], locals[i], m_downloadSizes[i])) {
        // What a failed or cancelled transfer left behind is not the device's file.
        std::remove(locals[i].c_str());
        ok = false;
        return;
      }
    }
  });
  return ok;
}

QMimeData* MainWindow::MakeFileMime(const QStringList& paths, bool clipboardMarkers) const {
  std::vector<std::string> locals;
  for (const QString& p : paths) locals.push_back(LocalPath(QFileInfo(p).absoluteFilePath()));
  auto* mime = new QMimeData;
  const std::string uris = BuildUriList(locals);
  mime->setData(QString::fromLatin1(kMimeUriList), QByteArray::fromStdString(uris));
  if (clipboardMarkers) {
    mime->setData(QString::fromLatin1(kMimeGnomeCopiedFiles), QByteArray::fromStdString(BuildGnomeCopiedFiles(locals, false)));
    mime->setData(QString::fromLatin1(kMimeKdeCutSelection), QByteArray::fromStdString(BuildKdeCutSelection(false)));
  }
  // The shell's own formats too: the drop effect (copy only) and the device
  // names the fetched files stand for.
  QStringList mapped;
  if (m_downloadNames.size() == static_cast<size_t>(paths.size()))
    for (const Bytes& name : m_downloadNames) mapped << QString::fromLatin1(name.data(), static_cast<int>(name.size()));
  AddShellFileFormats(*mime, kDropEffectCopy, static_cast<int>(paths.size()), mapped);
  return mime;
}

void MainWindow::CopyToClipboard() {
  Command([this] {
    BusyScope busy(*this);
    PrepareDownloadList();
    if (m_downloadNames.empty()) return;
    if (!FetchFiles(true)) return;  // the clipboard keeps what it had
    QApplication::clipboard()->setMimeData(MakeFileMime(m_downloadPaths, true));
  });
}

QStringList MainWindow::ClipboardFiles() const {
  QStringList files;
  const QMimeData* mime = QApplication::clipboard()->mimeData();
  if (mime == nullptr) return files;
  std::vector<std::string> paths;
  if (mime->hasFormat(QString::fromLatin1(kMimeUriList))) {
    const QByteArray raw = mime->data(QString::fromLatin1(kMimeUriList));
    paths = ParseUriList(std::string_view(raw.constData(), static_cast<size_t>(raw.size())));
  }
  if (paths.empty() && mime->hasFormat(QString::fromLatin1(kMimeGnomeCopiedFiles))) {
    const QByteArray raw = mime->data(QString::fromLatin1(kMimeGnomeCopiedFiles));
    bool cut = false;
    if (auto p = ParseGnomeCopiedFiles(std::string_view(raw.constData(), static_cast<size_t>(raw.size())), cut))
      paths = *p;
  }
  for (const auto& p : paths) files << QFile::decodeName(QByteArray::fromStdString(p));
  return files;
}

bool MainWindow::ClipboardHasFiles(QStringList* files) const {
  const QStringList f = ClipboardFiles();
  if (files != nullptr) *files = f;
  return !f.isEmpty();
}

void MainWindow::PutLocalFiles(const QStringList& paths, bool /*fromClipboard*/) {
  // Everything is checked before the first byte goes out: a list that cannot
  // be sent whole is not sent at all.
  std::vector<Bytes> names;
  std::vector<std::string> locals;
  for (const QString& p : paths) {
    const QFileInfo info(p);
    if (!info.isFile())
      throw std::runtime_error(
          tr("\"%1\" is not a file that can be copied to the device (folders cannot be copied). Nothing was copied")
              .arg(QDir::toNativeSeparators(p))
              .toStdString());
    Bytes name;
    if (!ToDeviceName(info.fileName(), name))
      throw std::runtime_error(tr("The device cannot store the name \"%1\": it holds characters outside Latin-1. "
                                  "Rename the file and try again. Nothing was copied")
                                   .arg(info.fileName())
                                   .toStdString());
    names.push_back(name);
    locals.push_back(LocalPath(info.absoluteFilePath()));
  }
  bool ok = true;
  const Bytes path = m_currentPath;
  RunOnDevice([&] {
    m_session->ChangeDir(path);
    for (size_t i = 0; i < names.size(); ++i) {
      if (!m_session->PutFile(names[i], locals[i])) {
        ok = false;
        return;
      }
    }
  });
  if (ok) ArmRefresh();
}

void MainWindow::PasteFromClipboard() {
  Command([this] {
    if (!m_listStack->isEnabled()) return;
    const QStringList files = ClipboardFiles();
    if (files.isEmpty()) {
      ArmRefresh();
      return;
    }
    BusyScope busy(*this);  // blocks closing; the status dialog shows the progress
    m_panel->hide();
    PutLocalFiles(files, true);
  });
}

void MainWindow::DropFiles(const QStringList& paths) {
  Command([this, paths] {
    BusyScope busy(*this);
    if (!m_listStack->isEnabled()) return;
    PutLocalFiles(paths, false);
  });
}

void MainWindow::DeleteSelected() {
  Command([this] {
    BusyScope busy(*this);
    if (!m_listStack->isEnabled()) return;
    const auto selected = SelectedEntries();
    if (selected.empty()) return;
    const Bytes path = m_currentPath;
    RunOnDevice([&] {
      m_session->ChangeDir(path);
      for (const auto& s : selected) m_session->DeleteItem(s.name);
    });
    ArmRefresh();
  });
}

void MainWindow::ListEdited(QStandardItem* item) {
  if (m_populating || item == nullptr || item->column() != 0) return;
  const QString oldText = DeviceText(ToBytes(item->data(kNameRole).toByteArray()));
  if (item->text() == oldText) return;
  const QString newText = item->text();
  // The list shows the old name until the device has taken the new one.
  m_populating = true;
  item->setText(oldText);
  m_populating = false;
  const int row = item->row();
  QTimer::singleShot(0, this, [this, row, newText] { RenameRow(row, newText); });
}

void MainWindow::RenameRow(int row, const QString& newText) {
  Command([this, row, newText] {
    QStandardItem* item = m_model->item(row, 0);
    if (item == nullptr) return;
    const Bytes oldName = ToBytes(item->data(kNameRole).toByteArray());
    Bytes newName;
    if (newText.isEmpty()) throw std::runtime_error(tr("A name cannot be empty. The entry keeps its name").toStdString());
    if (!ToDeviceName(newText, newName))
      throw std::runtime_error(tr("The device cannot store the name \"%1\": it holds characters outside Latin-1. "
                                  "Choose a name in Western European letters")
                                   .arg(newText)
                                   .toStdString());
    if (newName.find('\\') != Bytes::npos || newName.find('\0') != Bytes::npos)
      throw std::runtime_error(tr("A name cannot contain \"\\\". The entry keeps its name").toStdString());
    BusyScope busy(*this);
    const Bytes path = m_currentPath;
    RunOnDevice([&] {
      m_session->ChangeDir(path);
      m_session->RenameItem(oldName, newName);
    });
    m_populating = true;
    item->setText(newText);
    item->setData(ToByteArray(newName), kNameRole);
    m_populating = false;
    ArmRefresh();
  });
}

void MainWindow::OpenClickedEntry() {
  Command([this] {
    BusyScope busy(*this);
    if (m_lastClick == QPoint(-1, -1)) return;
    const QModelIndex index = ListView1()->indexAt(m_lastClick);
    if (!index.isValid()) return;
    const Bytes name = ToBytes(m_model->item(index.row(), 0)->data(kNameRole).toByteArray());
    const Bytes path = m_currentPath;
    RunOnDevice([&] {
      m_session->ChangeDir(path);
      m_session->OpenItem(name);
    });
  });
}

void MainWindow::SelectAll() { ListView1()->selectAll(); }

void MainWindow::InvertSelection() {
  QItemSelection all(m_model->index(0, 0), m_model->index(m_model->rowCount() - 1, m_model->columnCount() - 1));
  if (m_model->rowCount() > 0) m_selection->select(all, QItemSelectionModel::Toggle | QItemSelectionModel::Rows);
}

void MainWindow::ShowProperties() {
  const auto selected = SelectedEntries();
  if (selected.empty()) return;
  QString names;
  int64_t total = 0;
  for (const auto& s : selected) {
    names += DeviceText(s.name) + QLatin1Char('\n');
    total += s.size;
  }
  const int64_t baud = m_baud->currentText().toLongLong();
  m_propertiesDialog->ShowProperties(names, total, EstimateSeconds(total, baud));
}

void MainWindow::CaptureScreen() {
  if (!m_options.quillon) return;
  Command([this] {
    BusyScope busy(*this);
    m_panel->hide();
    // "Bitmap.bmp" in the current folder, or in the kit's private folder
    // when the current one cannot be written.
    const std::string file = CaptureFilePath();
    bool ok = false;
    RunOnDevice([&] { ok = m_session->CaptureScreen(file); });
    if (!ok) return;
    if (m_captureWindow == nullptr) {
      m_captureWindow = new CaptureWindow(this);
      m_captureWindow->OnNewScreen = [this] { CaptureScreen(); };
    }
    m_captureWindow->ShowBitmap(QString::fromStdString(file));
  });
}

void MainWindow::UpgradeDevice() {
  if (!m_options.quillon) return;
  if (m_device->Busy()) {
    Refuse();
    return;
  }
  if (!ShowMessageBox(this, QStringLiteral("Message"),
                      MessageText("You are about to upgrade your device ROM.\r\nAre you sure you want to do it?\r\n"
                                  "To perform the upgrade, you must have a rom upgrade file (*.bix)\r\n"
                                  "Ensure that your batteries are fully charged or that AC power is connected"),
                      MessageKind::kQuestion))
    return;
  const QString path = QFileDialog::getOpenFileName(this, QString(), QStringLiteral("*.bix"),
                                                    tr("ROM upgrade files (*.bix);;All files (*)"));
  if (path.isEmpty()) return;
  Command([this, path] {
    BusyScope busy(*this);
    m_panel->hide();
    const std::string image = LocalPath(path);
    RunOnDevice([&] { UpgradeSystem(*m_session, image); });
  });
}

void MainWindow::StopDeviceServer() {
  Command([this] { RunOnDevice([this] { m_session->Kill(); }); });
}

void MainWindow::ShowLog() {
  m_logWindow->show();
  m_logWindow->raise();
  m_logWindow->activateWindow();
}

void MainWindow::ListKeyDown(QKeyEvent* event) {
  if (event->key() == Qt::Key_Delete) DeleteSelected();
  if (event->key() == Qt::Key_M && (event->modifiers() & Qt::ControlModifier)) {
    if (m_mandelbrotWindow == nullptr) m_mandelbrotWindow = new MandelbrotWindow(this);
    m_mandelbrotWindow->exec();
  }
  if (event->key() == Qt::Key_K && (event->modifiers() & Qt::ControlModifier)) StopDeviceServer();
}

// ------------------------------------------------------- drag and drop --

bool MainWindow::FetchDownloadList() {
  bool ok = false;
  if (m_device->Busy()) {
    Refuse();
    return false;
  }
  try {
    BusyScope busy(*this);
    m_panel->hide();
    ok = FetchFiles(true);
  } catch (const DeviceBusy&) {
    Refuse();
  } catch (const std::exception& e) {
    ShowError(e);
  }
  emit commandDone();
  return ok;
}

void MainWindow::StartDrag() {
  try {
    PrepareDownloadList();
  } catch (const std::exception& e) {
    ShowError(e);
    return;
  }
  if (m_downloadNames.empty()) return;
  m_dragInProgress = true;
  m_dropTargetOn = false;  // the list does not take its own files
  auto* mime = new DeviceFilesMime([this] {
    m_dragInProgress = false;  // the drop itself is a device command
    FetchDownloadList();
    m_dragInProgress = true;
  });
  std::vector<std::string> locals;
  for (const QString& p : m_downloadPaths) locals.push_back(LocalPath(p));
  mime->setData(QString::fromLatin1(kMimeUriList), QByteArray::fromStdString(BuildUriList(locals)));
  ++m_dragsStarted;
  if (DragRunner) {
    DragRunner(mime);
    delete mime;
  } else {
    auto* drag = new QDrag(this);
    drag->setMimeData(mime);
    drag->setPixmap(ImageListIcon(kImageFile).pixmap(QSize(32, 32), devicePixelRatioF()));
    drag->exec(Qt::CopyAction, Qt::CopyAction);
  }
  m_dropTargetOn = true;
  m_dragInProgress = false;
  m_dragOrigin = QPoint(-1, -1);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (m_details == nullptr || m_icons == nullptr || m_device == nullptr) return QMainWindow::eventFilter(watched, event);
  const bool listViewport = watched == m_details->viewport() || watched == m_icons->viewport();
  const bool listView = watched == m_details || watched == m_icons;
  const bool treeViewport = watched == m_tree->viewport();
  // While the device works, the views take no input: the command running owns them.
  if ((listViewport || listView || treeViewport || watched == m_tree) && m_device->Busy()) {
    switch (event->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonDblClick:
      case QEvent::KeyPress:
      case QEvent::Drop:
      case QEvent::Wheel:
        if (event->type() != QEvent::Wheel) Refuse();
        return true;
      default:
        break;
    }
  }
  if (listViewport) {
    switch (event->type()) {
      case QEvent::MouseButtonPress: {
        auto* e = static_cast<QMouseEvent*>(event);
        if (e->button() == Qt::LeftButton) {
          m_dragOrigin = e->position().toPoint();
          m_lastClick = m_dragOrigin;
        } else {
          m_dragOrigin = QPoint(-1, -1);
          m_lastClick = QPoint(-1, -1);
        }
        break;
      }
      case QEvent::MouseButtonRelease:
        if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) m_dragOrigin = QPoint(-1, -1);
        break;
      case QEvent::MouseMove: {
        auto* e = static_cast<QMouseEvent*>(event);
        if (m_dragInProgress) break;
        if (!(e->buttons() & (Qt::LeftButton | Qt::RightButton))) break;
        const QPoint p = e->position().toPoint();
        if (std::abs(p.x() - m_dragOrigin.x()) < 10 && std::abs(p.y() - m_dragOrigin.y()) < 10) break;
        if (!m_selection->hasSelection()) break;
        if (m_device->Busy()) break;
        StartDrag();
        return true;
      }
      case QEvent::MouseButtonDblClick: {
        auto* e = static_cast<QMouseEvent*>(event);
        if (e->button() == Qt::LeftButton) {
          m_lastClick = e->position().toPoint();
          QTimer::singleShot(0, this, &MainWindow::OpenClickedEntry);
          return true;  // a double click opens; it does not edit the caption
        }
        break;
      }
      case QEvent::DragEnter:
      case QEvent::DragMove: {
        auto* e = static_cast<QDragMoveEvent*>(event);
        const bool files = e->mimeData()->hasUrls() && !ParseUriList(e->mimeData()->data(QString::fromLatin1(kMimeUriList)).toStdString()).empty();
        if (m_dropTargetOn && !m_dragInProgress && files && (e->possibleActions() & Qt::CopyAction)) {
          e->setDropAction(Qt::CopyAction);
          e->accept();
        } else {
          e->ignore();
        }
        return true;
      }
      case QEvent::Drop: {
        auto* e = static_cast<QDropEvent*>(event);
        if (!m_dropTargetOn || m_dragInProgress || !(e->possibleActions() & Qt::CopyAction)) {
          e->ignore();
          return true;
        }
        const QByteArray raw = e->mimeData()->data(QString::fromLatin1(kMimeUriList));
        QStringList paths;
        for (const auto& p : ParseUriList(std::string_view(raw.constData(), static_cast<size_t>(raw.size()))))
          paths << QFile::decodeName(QByteArray::fromStdString(p));
        if (paths.isEmpty()) {
          e->ignore();
          return true;
        }
        e->setDropAction(Qt::CopyAction);
        e->accept();
        // The source is let go first; the copy to the device follows.
        QTimer::singleShot(0, this, [this, paths] { DropFiles(paths); });
        return true;
      }
      default:
        break;
    }
  }
  if (listView && event->type() == QEvent::KeyPress) {
    auto* e = static_cast<QKeyEvent*>(event);
    if (e->key() == Qt::Key_Delete ||
        ((e->key() == Qt::Key_M || e->key() == Qt::Key_K) && (e->modifiers() & Qt::ControlModifier))) {
      ListKeyDown(e);
      return true;
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

// --------------------------------------------------------------- closing --

void MainWindow::closeEvent(QCloseEvent* event) {
  if (m_busyDepth > 0 || m_device->Busy() || m_dragInProgress) {
    event->ignore();
    return;
  }
  m_timer->stop();
  m_posSave->SavePositions();
  try {
    RunOnDevice([this] { m_session->Connect(""); });
  } catch (const std::exception&) {
    // closing anyway
  }
  m_logWindow->close();
  event->accept();
}

}  // namespace corvane
