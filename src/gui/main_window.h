#pragma once
// The main window: the file manager of one handheld device. It owns the
// session, which runs on the device thread; the handlers here wait for it in
// a local event loop, so the window never freezes.
#include <QMainWindow>
#include <QPoint>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/bytes.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QListView;
class QMenu;
class QMimeData;
class QModelIndex;
class QPushButton;
class QSplitter;
class QStackedWidget;
class QStandardItem;
class QStandardItemModel;
class QItemSelectionModel;
class QTimer;
class QToolBar;
class QToolButton;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;
class QAbstractItemView;

namespace corvane {

class DeviceThread;
class LogModel;
class QtSessionHost;
class PropertiesDialog;
class LogWindow;
class CaptureWindow;
class TransferDialog;
class MandelbrotWindow;
class AddressDialog;
class WindowGeometryStore;
class DeviceSession;
class DeviceEntry;

// How the window is built; the defaults are those of the program.
struct MainWindowOptions {
  bool quillon = false;          // the device kind (Tallis unless set)
  bool connectAtStart = true;    // "Auto" right after the window shows
  int refreshDelayMs = 1000;     // the refresh timer after a change on the device
  // Lists the serial ports, one per line; ListSerialPorts when empty.
  std::function<std::string()> listPorts;
};

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  enum class ViewStyle { kLargeIcons, kSmallIcons, kList, kDetails };

  explicit MainWindow(const MainWindowOptions& options = {}, QWidget* parent = nullptr);
  ~MainWindow() override;

  // ---- what the Parts call these ----
  QString GetDeviceName() const;
  void SetConnected(bool connected);
  void UpdateControls();
  void ShowStatus(const QString& text);
  void RefreshFolder();

  // Handlers (also driven directly by the tests).
  void ConnectSelectedPort();
  void Reconnect();
  void ShowFolder(QTreeWidgetItem* node);
  void CopyToClipboard();
  void PasteFromClipboard();
  void DeleteSelected();
  void ShowProperties();
  void SelectAll();
  void InvertSelection();
  void UpdateEditCommands();
  void UpdateFileMenu();
  void UpdateViewMenu();
  void OpenClickedEntry();
  void CaptureScreen();
  void UpgradeDevice();
  void StopDeviceServer();
  void ShowLog();
  // Puts local files into the folder shown, as a drop onto the list does.
  void DropFiles(const QStringList& paths);
  // Fetches the download file list (as the drop of a drag out does); true when all arrived.
  bool FetchDownloadList();
  // Renames the entry at `row` to `newName` (as ending a caption edit does).
  void RenameRow(int row, const QString& newName);
  void SetViewStyle(ViewStyle style);
  ViewStyle GetViewStyle() const { return m_style; }

  // ---- state for the tests ----
  DeviceSession& Session() { return *m_session; }
  LogModel& Log() { return *m_log; }
  DeviceThread& Device() { return *m_device; }
  bool Connected() const { return m_connected; }
  bool BusyPanelVisible() const;
  const Bytes& CurrentPath() const { return m_currentPath; }
  bool RefreshPending() const;
  // The local files of the last Copy or drag (the download file list).
  QStringList DownloadFiles() const { return m_downloadPaths; }

  QComboBox* ComboBox1() const { return m_ports; }
  QComboBox* ComboBox2() const { return m_baud; }
  QTreeWidget* TreeView1() const { return m_tree; }
  QStandardItemModel* ListModel() const { return m_model; }
  QItemSelectionModel* ListSelection() const { return m_selection; }
  QAbstractItemView* ListView1() const;  // the view showing the current style
  QWidget* ListArea() const;
  QLabel* Panel1() const { return m_panel; }
  QLabel* StatusText() const { return m_status; }
  QToolBar* ToolBar2() const { return m_toolbar; }
  PropertiesDialog* PropertiesForm() const { return m_propertiesDialog; }
  LogWindow* LogForm() const { return m_logWindow; }
  TransferDialog* StatusForm() const { return m_transferDialog; }
  AddressDialog* AddressForm() const { return m_addressDialog; }
  CaptureWindow* CaptureForm() const { return m_captureWindow; }
  QAction* Action(const QString& objectName) const;
  QMenu* PopupMenu1() const { return m_popup; }

  // Runs a drag out instead of the desktop's drag loop (tests); returns the
  // action the drop took.
  std::function<Qt::DropAction(QMimeData* data)> DragRunner;
  int DragsStarted() const { return m_dragsStarted; }

 signals:
  // A handler that used the device has ended (whether it succeeded or not).
  void commandDone();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  class BusyScope;
  struct Selected {
    int row;
    Bytes name;
    int64_t size;
  };

  void BuildActions();
  void BuildMenus();
  void BuildToolbar();
  void BuildViews();
  void FillPortList();
  // Runs a handler body: refuses it while the device is busy, shows what it throws.
  void Command(const std::function<void()>& body);
  void ShowError(const std::exception& e);
  void Refuse();
  void RunOnDevice(const std::function<void()>& job);
  void ShowBusy(bool on);
  void PlaceBusyPanel();

  std::vector<Selected> SelectedEntries() const;
  void ClearList();
  void AddListItem(const DeviceEntry& entry);
  DeviceEntry* EntryOf(QTreeWidgetItem* node) const;
  void DeleteChildNodes(QTreeWidgetItem* node);
  void UpdateSelectionState();
  bool ClipboardHasFiles(QStringList* files = nullptr) const;
  QStringList ClipboardFiles() const;
  void PutLocalFiles(const QStringList& paths, bool fromClipboard);
  void PrepareDownloadList();
  bool FetchFiles(bool changeDir);
  QMimeData* MakeFileMime(const QStringList& paths, bool clipboardMarkers) const;
  void StartDrag();
  void ListEdited(QStandardItem* item);
  void ListKeyDown(QKeyEvent* event);
  void ArmRefresh();
  QString PortPathOf(int index) const;

  MainWindowOptions m_options;
  std::unique_ptr<LogModel> m_log;
  DeviceThread* m_device;
  LogWindow* m_logWindow = nullptr;
  TransferDialog* m_transferDialog = nullptr;
  AddressDialog* m_addressDialog = nullptr;
  PropertiesDialog* m_propertiesDialog = nullptr;
  CaptureWindow* m_captureWindow = nullptr;  // created by the first screen capture
  MandelbrotWindow* m_mandelbrotWindow = nullptr;  // created when first asked for
  std::unique_ptr<QtSessionHost> m_host;
  std::unique_ptr<DeviceSession> m_session;
  std::unique_ptr<DeviceEntry> m_root;
  std::unique_ptr<WindowGeometryStore> m_posSave;

  QToolBar* m_toolbar = nullptr;
  QComboBox* m_ports = nullptr;
  QComboBox* m_baud = nullptr;
  QCheckBox* m_quillonBox = nullptr;
  QPushButton* m_logButton = nullptr;
  QAction* m_reconnectButton = nullptr;
  QAction* m_captureButton = nullptr;
  QAction* m_upgradeButton = nullptr;
  QAction* m_killButton = nullptr;
  QAction* m_logButtonAction = nullptr;
  QAction* m_toolsMenuAction = nullptr;
  QSplitter* m_splitter = nullptr;
  QTreeWidget* m_tree = nullptr;
  QStackedWidget* m_listStack = nullptr;
  QTreeView* m_details = nullptr;
  QListView* m_icons = nullptr;
  QStandardItemModel* m_model = nullptr;
  QItemSelectionModel* m_selection = nullptr;
  QLabel* m_status = nullptr;
  QLabel* m_panel = nullptr;
  QTimer* m_timer = nullptr;
  QMenu* m_popup = nullptr;
  QMenu* m_fileMenu = nullptr;
  QMenu* m_editMenu = nullptr;
  QMenu* m_viewMenu = nullptr;
  QMenu* m_toolsMenu = nullptr;
  QMenu* m_helpMenu = nullptr;

  // Main menu entries, and their twins of the popup menu.
  QAction* m_delete = nullptr;
  QAction* m_properties = nullptr;
  QAction* m_reconnect = nullptr;
  QAction* m_close = nullptr;
  QAction* m_copy = nullptr;
  QAction* m_paste = nullptr;
  QAction* m_selectAll = nullptr;
  QAction* m_invert = nullptr;
  QAction* m_toolbarToggle = nullptr;
  QAction* m_statusToggle = nullptr;
  QAction* m_large = nullptr;
  QAction* m_small = nullptr;
  QAction* m_listStyle = nullptr;
  QAction* m_detailsStyle = nullptr;
  QAction* m_refresh = nullptr;
  QAction* m_logEntry = nullptr;
  QAction* m_capture = nullptr;
  QAction* m_upgrade = nullptr;
  QAction* m_help = nullptr;
  QAction* m_about = nullptr;
  QAction* m_popDelete = nullptr;
  QAction* m_popProperties = nullptr;
  QAction* m_popCopy = nullptr;
  QAction* m_popPaste = nullptr;
  QAction* m_popRefresh = nullptr;

  ViewStyle m_style = ViewStyle::kDetails;
  Bytes m_currentPath;
  bool m_connected = false;
  int m_busyDepth = 0;
  bool m_populating = false;
  bool m_treeGuard = false;
  QPoint m_dragOrigin{-1, -1};
  QPoint m_lastClick{-1, -1};
  bool m_dragInProgress = false;
  bool m_dropTargetOn = true;
  int m_dragsStarted = 0;
  bool m_clipboardHasFiles = false;  // as of the last clipboard change or menu opening
  // The download file list: device names, local paths and sizes, in list order.
  std::vector<Bytes> m_downloadNames;
  QStringList m_downloadPaths;
  std::vector<int64_t> m_downloadSizes;
};

}  // namespace corvane
