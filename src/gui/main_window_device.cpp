// The main window's device commands: connecting, browsing, refreshing,
// deleting, renaming, opening, the screen capture, the upgrade and closing.
// Each is one operation of the device worker; its result is drawn when it
// comes back.
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QItemSelectionModel>
#include <QLabel>
#include <QStackedWidget>
#include <QTimer>

#include <memory>

#include "desktop/local_files.h"
#include "gui/capture_window.h"
#include "gui/device_controller.h"
#include "gui/entry_list_model.h"
#include "gui/image_list.h"
#include "gui/log_window.h"
#include "gui/main_window.h"
#include "gui/message_box.h"
#include "gui/properties_dialog.h"
#include "gui/transfer_dialog.h"
#include "gui/transfer_estimate.h"
#include "gui/window_geometry_store.h"
#include "session/device_session.h"
#include "upgrade/upgrade_system.h"

namespace corvane {
bool MainWindow::RunCommand(DeviceWorker::Operation op, Done then, bool panel) {
  const bool running = m_panelWanted;
  m_panelWanted = panel;
  // The link as the command left it, taken on the device thread at its end:
  // the window reads the session nowhere else.
  auto link = std::make_shared<ConnectionState>();
  auto withState = [op = std::move(op), link](DeviceSession& s) {
    try {
      op(s);
    } catch (...) {
      *link = s.State();
      throw;
    }
    *link = s.State();
  };
  const bool started = m_device->Run(std::move(withState), [this, then, link](const std::optional<DeviceError>& error) {
    m_panelWanted = false;
    m_link = *link;
    // What the session said before or during a transfer ("Copying …") is over
    // once the transfer has ended, whether it arrived, failed or was
    // cancelled; a line it logged after the transfer is the result.
    if (m_sessionLineAt && *m_sessionLineAt != m_transferDialog->Updates()) ShowStatus(QString());
    // A command may lose the link (a cancelled TCP/IP transfer closes it).
    SetConnected(m_link.connected);
    if (error)
      ShowCommandError(*error);
    else if (then)
      then();
  });
  if (!started) m_panelWanted = running;  // the running command keeps its panel
  return started;
}

void MainWindow::ShowCommandError(const DeviceError& error) {
  // A cancel needs no answer; a transfer's own failure was in the transfer
  // dialog and the log already: the status bar keeps it in view.
  if (error.Kind() == ErrorKind::kCancelled) return;
  if (error.Reported()) {
    ShowStatus(MessageText(error.what()));
    return;
  }
  ShowErrorBox(this, MessageText(error.what()));
}

void MainWindow::ArmRefresh() { m_timer->start(); }

std::vector<MainWindow::Selected> MainWindow::SelectedEntries() const {
  std::vector<Selected> out;
  for (int row = 0; row < m_model->rowCount(); ++row) {
    if (!m_selection->isRowSelected(row, QModelIndex()) && !m_selection->isSelected(m_model->index(row, 0))) continue;
    const ListingEntry& e = m_model->Entry(row);
    out.push_back({e.name, e.size, e.kind});
  }
  return out;
}

QTreeWidgetItem* MainWindow::NodeOfPath(const Bytes& path) const {
  QTreeWidgetItem* node = m_tree->topLevelItem(0);
  while (node != nullptr && FolderTreeView::PathOf(node) != path) {
    QTreeWidgetItem* next = nullptr;
    for (int i = 0; i < node->childCount() && next == nullptr; ++i) {
      const Bytes child = FolderTreeView::PathOf(node->child(i));
      if (path == child || path.rfind(child + "\\", 0) == 0) next = node->child(i);
    }
    node = next;
  }
  return node;
}

void MainWindow::ForgetListings(const Bytes& path) {
  for (auto it = m_listings.begin(); it != m_listings.end();)
    it = (it->first == path || it->first.rfind(path + "\\", 0) == 0) ? m_listings.erase(it) : std::next(it);
}

// ------------------------------------------------------------ connecting --

void MainWindow::ConnectSelectedPort() {
  // The mount goes first: a port change, a reconnect or a disconnect ends it.
  if (!UnmountBeforeLinkChange([this] { ConnectSelectedPort(); })) return;
  // A pending refresh is overtaken: the connect reads the root anyway.
  m_timer->stop();
  // A port of the list carries its path; the other entries are "Auto",
  // "TCP/IP" and "disconnect".
  const QVariant portPath = m_ports->currentData();
  const LinkTarget target = portPath.isValid() ? LinkTarget::Serial(portPath.toString().toStdString())
                                               : LinkTarget::Named(m_ports->currentText().toStdString());
  const bool disconnect = target.kind == LinkTarget::Kind::kDisconnect;
  const std::string baud = m_baud->currentText().toStdString();
  auto root = std::make_shared<std::optional<std::vector<ListingEntry>>>();
  const bool started = RunCommand(
      [target, baud, root, disconnect](DeviceSession& s) {
        if (!disconnect) s.SetBaudRate(ParseBaudRate(baud));
        const ConnectionState link = s.Connect(target);
        if (disconnect || link.upgradeMode) return;
        try {
          *root = s.ListFolder("\\");
        } catch (const DeviceError& e) {
          // Without a device the listing says so (the connection check's
          // message); ports "Auto" could not open say why, and what to do.
          if (s.IsConnected() || s.DetectionTrouble.empty()) throw;
          throw DeviceError(e.Kind(), std::string(e.what()) + "\n\n" + s.DetectionTrouble);
        }
      },
      [this, root, disconnect] {
        // A disconnect leaves what the window shows, with the controls off.
        if (!disconnect) ShowConnection(*root ? &**root : nullptr);
      },
      true);
  if (!started) return;
  // Whatever device answers now, the copies fetched before are not its files.
  ++m_connection;
  SetConnected(false);
  // Whatever the outcome, the window follows the session once it is known.
  connect(m_device, &DeviceController::finished, this,
          [this] { SetConnected(m_link.connected); }, Qt::SingleShotConnection);
}

void MainWindow::ShowConnection(const std::vector<ListingEntry>* root) {
  QTreeWidgetItem* rootNode = m_tree->topLevelItem(0);
  m_listings.clear();
  while (rootNode->childCount() > 0) delete rootNode->takeChild(rootNode->childCount() - 1);
  m_model->Clear();
  SetConnected(m_link.connected);
  if (root == nullptr) return;
  m_treeGuard = true;
  m_tree->setCurrentItem(rootNode);
  m_treeGuard = false;
  ShowListing("\\", *root, true);
  ShowStatus(MessageText(m_link.version));
}

// ------------------------------------------------------------- browsing --

void MainWindow::ShowFolder(QTreeWidgetItem* node) {
  if (node == nullptr) {
    m_model->Clear();
    return;
  }
  const Bytes path = FolderTreeView::PathOf(node);
  if (auto it = m_listings.find(path); it != m_listings.end()) {
    ShowListing(path, it->second, false);
    return;
  }
  auto listing = std::make_shared<std::vector<ListingEntry>>();
  const bool started = RunCommand([path, listing](DeviceSession& s) { *listing = s.ListFolder(path); },
                                  [this, path, listing] { ShowListing(path, *listing, true); }, true);
  if (!started) {
    // The tree goes back to the folder the list shows.
    m_treeGuard = true;
    m_tree->setCurrentItem(NodeOfPath(m_currentPath));
    m_treeGuard = false;
  }
}

void MainWindow::ShowListing(const Bytes& path, const std::vector<ListingEntry>& entries, bool fresh) {
  m_listings[path] = entries;
  // Copies fetched under an older listing of the folder are not the files
  // this one shows.
  if (fresh) m_listedAt[path] = ++m_listingCounter;
  QTreeWidgetItem* node = NodeOfPath(path);
  if (node == nullptr) return;
  std::vector<ListingEntry> rows;
  for (const ListingEntry& e : entries) {
    if (e.name == "NETWORK") continue;
    if (e.kind == kKindDirectory) {
      const QString text = DeviceText(e.name);
      bool exists = false;
      for (int i = 0; i < node->childCount(); ++i) exists = exists || node->child(i)->text(0) == text;
      if (!exists) {
        auto* child = new QTreeWidgetItem(node, QStringList(text));
        child->setIcon(0, FolderIcon());
        const Bytes childPath = DevicePath::Parse(path).Join(e.name).Canonical();
        child->setData(0, FolderTreeView::kPathRole, QByteArray(childPath.data(), static_cast<qsizetype>(childPath.size())));
      }
      if (m_options.quillon) continue;
    }
    rows.push_back(e);
  }
  if (m_tree->currentItem() != node) return;  // the user has moved on
  m_currentPath = path;
  m_model->SetEntries(std::move(rows));
  node->setExpanded(true);
  ShowStatus(MessageText(m_link.version));
}

void MainWindow::RefreshFolder() {
  if (m_device->Busy() && m_timer->isActive()) return;  // the timer tries again once the command has ended
  m_timer->stop();
  if (!m_connected) return;
  QTreeWidgetItem* node = m_tree->currentItem();
  if (node == nullptr) return;
  const Bytes path = FolderTreeView::PathOf(node);
  auto listing = std::make_shared<std::vector<ListingEntry>>();
  RunCommand([path, listing](DeviceSession& s) { *listing = s.ListFolder(path); },
             [this, path, listing] {
               ForgetListings(path);
               if (QTreeWidgetItem* n = NodeOfPath(path))
                 while (n->childCount() > 0) delete n->takeChild(n->childCount() - 1);
               ShowListing(path, *listing, true);
             },
             true);
}

// -------------------------------------------------------- file commands --

void MainWindow::DeleteSelected() {
  if (!m_connected) return;
  const auto selected = SelectedEntries();
  if (selected.empty()) return;
  const Bytes path = m_currentPath;
  RunCommand(
      [path, selected](DeviceSession& s) {
        // Every name is checked before the first command goes out.
        for (const auto& e : selected) s.CheckEntryName(e.name);
        s.ChangeDir(path);
        for (const auto& e : selected) s.DeleteItem(e.name);
      },
      [this] { ArmRefresh(); }, true);
}

void MainWindow::RenameRow(int row, const QString& newText) {
  if (row < 0 || row >= m_model->rowCount()) return;
  const Bytes oldName = m_model->Entry(row).name;
  Bytes newName;
  QString problem;
  if (newText.isEmpty())
    problem = tr("A name cannot be empty. The entry keeps its name");
  else if (!ToDeviceName(newText, newName))
    problem = tr("The device cannot store the name \"%1\": it holds characters outside Latin-1. "
                 "Choose a name in Western European letters")
                  .arg(newText);
  else if (newName.find('\\') != Bytes::npos || newName.find('\0') != Bytes::npos)
    problem = tr("A name cannot contain \"\\\". The entry keeps its name");
  if (!problem.isEmpty()) {
    ShowErrorBox(this, problem);
    emit commandDone();
    return;
  }
  const Bytes path = m_currentPath;
  RunCommand(
      [path, oldName, newName](DeviceSession& s) {
        s.CheckEntryName(oldName);
        s.CheckEntryName(newName);
        s.ChangeDir(path);
        s.RenameItem(oldName, newName);
      },
      [this, row, oldName, newName] {
        if (row < m_model->rowCount() && m_model->Entry(row).name == oldName) m_model->SetName(row, newName);
        ArmRefresh();
      },
      true);
}

void MainWindow::OpenEntry(int row) {
  if (!m_connected || row < 0 || row >= m_model->rowCount()) return;
  const Bytes name = m_model->Entry(row).name;
  const Bytes path = m_currentPath;
  RunCommand(
      [path, name](DeviceSession& s) {
        s.CheckEntryName(name);
        s.ChangeDir(path);
        s.OpenItem(name);
      },
      {}, true);
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
  // "Bitmap.bmp" in the current folder, or in the kit's private folder when
  // the current one cannot be written.
  const std::string file = CaptureFilePath();
  RunCommand([file](DeviceSession& s) { s.CaptureScreen(file); },
             [this, file] {
               if (m_captureWindow == nullptr) {
                 m_captureWindow = new CaptureWindow(this);
                 m_captureWindow->OnNewScreen = [this] { CaptureScreen(); };
               }
               m_captureWindow->ShowBitmap(QString::fromStdString(file));
             },
             false);
}

void MainWindow::UpgradeDevice() {
  if (!m_options.quillon) return;
  if (m_device->Busy()) {
    m_device->Refuse();
    return;
  }
  switch (AskUpgrade()) {
    case UpgradeAnswer::kNo: return;
    case UpgradeAnswer::kYes: ChooseUpgradeImage(); return;
    case UpgradeAnswer::kBackUpFirst: BackUpDevice([this] { ChooseUpgradeImage(); }); return;
  }
}

void MainWindow::ChooseUpgradeImage() {
  const QString path = QFileDialog::getOpenFileName(this, QString(), QStringLiteral("*.bix"),
                                                    tr("ROM upgrade files (*.bix);;All files (*)"));
  if (path.isEmpty()) return;
  if (RefuseMountedPaths({path}, tr("Copy the upgrade file out of %1 first: that folder is the device itself, "
                                    "open in the file manager.")))
    return;
  const std::string image = QFile::encodeName(path).toStdString();
  RunCommand([image](DeviceSession& s) { UpgradeSystem(s, image); }, {}, false);
}

void MainWindow::StopDeviceServer() {
  RunCommand([](DeviceSession& s) { s.Kill(); }, {}, false);
}

// --------------------------------------------------------------- closing --

void MainWindow::closeEvent(QCloseEvent* event) {
  if (m_folderMount && !m_device->CommandRunning()) {
    // Unmounted first, a command of the mount's cancelled without the pauses
    // kept for a next command; the window closes once the worker is free.
    m_device->ProgramEnding();
    if (!UnmountBeforeLinkChange({})) {
      event->ignore();
      m_closeWhenIdle = true;
      return;
    }
  }
  if (m_device->WindingDown()) {
    // A cancelled transfer only sends its cancel bytes and pauses for a next
    // command that will not come: cut that short and close once it has ended.
    event->ignore();
    m_closeWhenIdle = true;
    m_device->ProgramEnding();
    return;
  }
  if (m_device->Busy()) {
    event->ignore();
    m_device->Refuse();
    return;
  }
  m_timer->stop();
  m_geometry->SavePositions();
  m_logWindow->close();
  event->accept();
}

}  // namespace corvane
