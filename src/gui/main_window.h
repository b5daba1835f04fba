#pragma once
// The main window: the file manager of one handheld device. Its commands run
// as operations of the device worker (DeviceController); the window only
// turns menu commands into operations and draws their results, and never
// waits for the device.
#include <QElapsedTimer>
#include <QMainWindow>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "desktop/fetched_copies.h"
#include "gui/device_views.h"
#include "link/bytes.h"
#include "link/link_error.h"
#include "protocol/listing.h"
#include "session/device_worker.h"

class QAction;
class QCheckBox;
class QComboBox;
class QItemSelectionModel;
class QLabel;
class QMenu;
class QMimeData;
class QPushButton;
class QSocketNotifier;
class QSplitter;
class QStackedWidget;
class QTimer;
class QToolBar;
class QTreeWidgetItem;
class QAbstractItemView;

namespace corvane {

class AddressDialog;
class CaptureWindow;
class DeviceController;
class FolderMount;
class EntryListModel;
class LogModel;
class LogWindow;
class MandelbrotWindow;
class PropertiesDialog;
class QtSessionHost;
class PortWatch;
class TransferDialog;
class WindowGeometryStore;

// How the window is built; the defaults are those of the program.
struct MainWindowOptions {
  bool quillon = false;          // the device kind (Tallis unless set)
  bool connectAtStart = true;    // "Auto" right after the window shows
  int refreshDelayMs = 1000;     // the refresh timer after a change on the device
  // Lists the serial ports, one per line; ListSerialPorts when empty.
  std::function<std::string()> listPorts;
  // Ports that appear and vanish: folders watched beside (or, without
  // watchSystemPorts, instead of) the system's serial ports.
  std::vector<std::string> portFolders;
  bool watchSystemPorts = true;
  bool watchPorts = true;
  // A port that appeared but cannot be opened yet (a modem manager probing
  // it, udev still setting its permissions) is tried again this often, for
  // this long.
  int plugRetryMs = 1000;
  int plugRetryLimitMs = 20000;
};

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  enum class ViewStyle { kLargeIcons, kSmallIcons, kList, kDetails };

  explicit MainWindow(const MainWindowOptions& options = {}, QWidget* parent = nullptr);
  ~MainWindow() override;

  QString GetDeviceName() const;
  void SetConnected(bool connected);
  void UpdateControls();
  void ShowStatus(const QString& text);

  // ---- commands (menus, toolbar, keys, views; the tests drive them too) ----
  void ConnectSelectedPort();
  void Reconnect() { ConnectSelectedPort(); }
  void ShowFolder(QTreeWidgetItem* node);
  void RefreshFolder();
  void CopyToClipboard();
  void PasteFromClipboard();
  void DeleteSelected();
  void ShowProperties();
  void SelectAll();
  void InvertSelection();
  void UpdateEditCommands();
  void UpdateFileMenu();
  void UpdateViewMenu();
  void OpenEntry(int row);
  void CaptureScreen();
  void UpgradeDevice();
  // File > "Back up device…": a folder chooser, then the whole device is
  // mirrored into that folder under the transfer dialog.
  void BackUpDevice();
  // The backup into `folder`; `then` runs after a backup that is complete.
  void BackUpDeviceTo(const QString& folder, std::function<void()> then = {});
  void StopDeviceServer();
  // File > "Open in file manager": mounts the device's folders (once) and
  // opens the folder with the desktop's file manager.
  void OpenInFileManager();
  // Where the device is mounted; empty when it is not.
  QString MountFolder() const;
  void ShowLog();
  // Puts local files into `folder` (the folder shown when empty), as a drop does.
  void DropFiles(const QStringList& paths, const Bytes& folder = {});
  // Renames the entry at `row` to `newName` (as ending a caption edit does).
  void RenameRow(int row, const QString& newName);
  // A drag of the selection out of the list: fetches what is not fetched yet
  // (transfer dialog, Cancel), then drags the local files.
  void DragSelectionOut();
  void SetViewStyle(ViewStyle style);
  ViewStyle GetViewStyle() const { return m_style; }

  // ---- state for the tests ----
  DeviceController& Device() { return *m_device; }
  LogModel& Log() { return *m_log; }
  bool Connected() const { return m_connected; }
  bool BusyPanelVisible() const;
  const Bytes& CurrentPath() const { return m_currentPath; }
  bool RefreshPending() const;
  // The local files of the last Copy or drag (the download file list).
  QStringList DownloadFiles() const { return m_download.paths; }
  int DragsStarted() const { return m_dragsStarted; }

  QComboBox* PortBox() const { return m_ports; }
  // The port watch behind the port list (none when it could not be set up).
  PortWatch* Ports() const { return m_portWatch.get(); }
  QComboBox* BaudBox() const { return m_baud; }
  FolderTreeView* FolderTree() const { return m_tree; }
  EntryListModel* ListModel() const { return m_model; }
  QItemSelectionModel* ListSelection() const { return m_selection; }
  QAbstractItemView* CurrentListView() const;  // the view showing the current style
  QWidget* ListArea() const;
  QLabel* BusyPanel() const { return m_panel; }
  QLabel* StatusText() const { return m_status; }
  QToolBar* ToolBar() const { return m_toolbar; }
  PropertiesDialog* PropertiesForm() const { return m_propertiesDialog; }
  LogWindow* LogForm() const { return m_logWindow; }
  TransferDialog* StatusForm() const { return m_transferDialog; }
  AddressDialog* AddressForm() const { return m_addressDialog; }
  CaptureWindow* CaptureForm() const { return m_captureWindow; }
  QAction* Action(const QString& objectName) const;
  QMenu* ContextMenu() const { return m_popup; }

 signals:
  // A command that used the device has ended (whether it succeeded or not).
  void commandDone();
  // A drag out of the list has begun with local files.
  void dragStarted();
  // The port list has been made again after ports appeared or vanished.
  void portsChanged();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  struct Selected {
    Bytes name;
    int64_t size;
    int kind = kKindFile;
  };
  using Done = std::function<void()>;
  // The entries of a Copy or drag and the local paths they are fetched to,
  // in list order, with the connection and the listing they were chosen from.
  struct DownloadList {
    std::vector<Bytes> names;
    QStringList paths;
    std::vector<int64_t> sizes;
    std::vector<int> kinds;
    uint64_t connection = 0;
    uint64_t listing = 0;
  };
  using Downloaded = std::function<void(const DownloadList& list)>;

  // Layout (main_window.cpp).
  void SetUpDevice();
  void BuildActions();
  void ConnectActions();
  void BuildMenus();
  void BuildToolbar();
  void BuildViews();
  void BuildListViews();
  void FillPortList();
  QString PortPathOf(int index) const;
  void ShowBusy(bool on);
  void PlaceBusyPanel();
  void UpdateSelectionState();
  bool HandleListKey(QKeyEvent* event);

  // Device commands (main_window_device.cpp).
  // Runs `op` on the device; `then` runs on success, on the UI thread; a
  // failure is shown. `panel` shows the busy panel meanwhile.
  bool RunCommand(DeviceWorker::Operation op, Done then, bool panel);
  void ShowCommandError(const DeviceError& error);
  void ShowConnection(const std::vector<ListingEntry>* root);
  // `fresh`: read from the device just now (not the listing kept for the path).
  void ShowListing(const Bytes& path, const std::vector<ListingEntry>& entries, bool fresh);
  QTreeWidgetItem* NodeOfPath(const Bytes& path) const;
  void ForgetListings(const Bytes& path);
  std::vector<Selected> SelectedEntries() const;
  void ArmRefresh();

  // Ports plugged in and out (main_window_ports.cpp).
  void SetUpPortWatch();
  void TakePortChanges();
  // Acts on what the watch reported once the device is idle: disconnects
  // from a port that vanished, connects when a port appeared while the
  // window had no device.
  void ReviewPorts();
  void ConnectPluggedPort();
  void DisconnectUnpluggedPort();
  // Makes the port list again, keeping the chosen entry where it remains.
  void RefillPortList();

  // The mount for the file manager (main_window_mount.cpp).
  void ShowMountInFileManager();
  // Unmounts (a command of the mount's is cancelled, and waited for).
  void CloseFolderMount();
  // Before a command that changes the link: true when not mounted. False
  // (and the busy message) while a command of the window's runs. Otherwise
  // unmounts; false when the mount's last command is still ending, and then
  // `again` runs once the worker is free.
  bool UnmountBeforeLinkChange(const std::function<void()>& again);
  // True (and an error box saying so) when a path lies in the mount: the
  // device thread would wait on itself to read or write it, and even a stat
  // here would wait for the device. Decided from the paths' text alone.
  bool RefuseMountedPaths(const QStringList& paths, const QString& problem);

  // Copying (main_window_files.cpp).
  QStringList ClipboardFiles() const;
  void PutLocalFiles(const QStringList& paths, const Bytes& folder);
  // Fills m_download from the selection; false (and the reason shown) when
  // the private folder cannot be used.
  bool PrepareDownloadList();
  QString FetchFolderFor(const Bytes& devicePath);
  bool DownloadCached(const DownloadList& list, size_t index) const;
  void FetchDownloads(bool useCache, Downloaded then);
  QMimeData* MakeFileMime(const DownloadList& list, bool clipboardMarkers) const;
  void BeginDrag(const DownloadList& list);

  // Whole folders and the backup (main_window_tree.cpp).
  QAction* MakeBackupAction();
  void BackUpDevice(std::function<void()> then);
  QString ChooseBackupFolder();
  enum class UpgradeAnswer { kNo, kYes, kBackUpFirst };
  UpgradeAnswer AskUpgrade();
  void ChooseUpgradeImage();
  // Puts local files and folders into device folders that exist, or nothing.
  void PutLocalTree(const QStringList& paths, const Bytes& folder);
  // Fetches a selection that holds folders: each folder's whole tree into its
  // local folder, under one transfer dialog.
  void FetchTrees(const Bytes& path, const std::vector<Bytes>& names, const std::vector<std::string>& locals,
                  const std::vector<int64_t>& sizes, const std::vector<int>& kinds, const DownloadList& list,
                  bool useCache, std::shared_ptr<FetchedCopies> fresh, Done then);

  MainWindowOptions m_options;
  std::unique_ptr<LogModel> m_log;
  std::unique_ptr<QtSessionHost> m_host;
  DeviceController* m_device = nullptr;
  ViewHooks m_hooks;
  LogWindow* m_logWindow = nullptr;
  TransferDialog* m_transferDialog = nullptr;
  AddressDialog* m_addressDialog = nullptr;
  PropertiesDialog* m_propertiesDialog = nullptr;
  CaptureWindow* m_captureWindow = nullptr;        // created by the first screen capture
  MandelbrotWindow* m_mandelbrotWindow = nullptr;  // created when first asked for
  std::unique_ptr<WindowGeometryStore> m_geometry;

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
  FolderTreeView* m_tree = nullptr;
  QStackedWidget* m_listStack = nullptr;
  EntryDetailsView* m_details = nullptr;
  EntryIconView* m_icons = nullptr;
  EntryListModel* m_model = nullptr;
  QItemSelectionModel* m_selection = nullptr;
  QLabel* m_status = nullptr;
  // When the status bar shows a line the session logged (what it is doing)
  // rather than a result: the transfer dialog's update count at that moment.
  // A transfer that has moved on since has made the line stale.
  std::optional<uint64_t> m_sessionLineAt;
  QLabel* m_panel = nullptr;
  QTimer* m_timer = nullptr;
  QMenu* m_popup = nullptr;
  QMenu* m_fileMenu = nullptr;
  QMenu* m_editMenu = nullptr;
  QMenu* m_viewMenu = nullptr;
  QMenu* m_toolsMenu = nullptr;
  QMenu* m_helpMenu = nullptr;

  // Main menu entries, and their twins of the context menu.
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
  QAction* m_backup = nullptr;
  QAction* m_openInFileManager = nullptr;  // none when this build cannot mount
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
  // The link as the last command left it (handed over by its completion).
  ConnectionState m_link;
  bool m_closeWhenIdle = false;  // closed while a cancelled transfer wound down
  bool m_panelWanted = false;
  bool m_treeGuard = false;
  int m_dragsStarted = 0;
  bool m_clipboardHasFiles = false;  // as of the last clipboard change or menu opening
  // Listings of the folders seen, by device path, until refreshed or reconnected.
  std::map<Bytes, std::vector<ListingEntry>> m_listings;
  // The download file list of the last Copy or drag.
  DownloadList m_download;
  // Fetched copies: this run's folder for them (made at the first fetch,
  // removed with the window), and which of them a drag may take unfetched.
  std::unique_ptr<RunFolder> m_runFolder;
  FetchedCopies m_fetched;
  std::unique_ptr<FolderMount> m_folderMount;
  std::unique_ptr<QSocketNotifier> m_mountNotifier;  // the mount ended from outside
  uint64_t m_mounts = 0;  // counts the mounts: a report of one that has ended is dropped
  std::unique_ptr<PortWatch> m_portWatch;
  std::unique_ptr<QSocketNotifier> m_portNotifier;  // goes before the watch's descriptor closes
  std::string m_unpluggedPort;  // the connected port vanished: disconnect once idle
  bool m_plugPending = false;   // a port appeared: connect once idle, if no device
  QTimer* m_plugRetry = nullptr;
  QElapsedTimer m_pluggedSince;  // since the port being waited for appeared
  std::vector<std::string> m_pluggedPorts;  // the ports that appeared last
  uint64_t m_connection = 0;      // counts the connects: a copy is of one connection's device
  uint64_t m_listingCounter = 0;  // counts the listings read from the device
  std::map<Bytes, uint64_t> m_listedAt;  // folder -> the count of the listing the window holds for it
};

}  // namespace corvane
