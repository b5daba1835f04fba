// The main window's "Open in file manager": the device's folders mounted in
// the user's runtime folder on the window's own device worker, so that the
// file manager's requests and the window's commands take turns on the one
// device thread (a window command while the mount's runs is refused as busy;
// the mount's requests wait for the window's). The mount ends when the window
// disconnects, changes port or closes.
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QUrl>

#include "gui/device_controller.h"
#include "gui/folder_mount.h"
#include "gui/main_window.h"
#include "gui/message_box.h"
#include "session/device_session.h"
#include "session/status_dialog.h"

namespace corvane {

QString MainWindow::MountFolder() const {
  return m_folderMount ? QFile::decodeName(QByteArray::fromStdString(m_folderMount->Folder())) : QString();
}

void MainWindow::OpenInFileManager() {
  if (!FolderMount::Available() || !m_connected || m_link.upgradeMode) return;
  if (m_folderMount) {
    ShowMountInFileManager();
    return;
  }
  const bool quillon = m_link.quillon || m_options.quillon;
  // After a cancelled TCP/IP transfer closed the connection, the mount's next
  // command opens it again, to the same address or port.
  const bool tcp = m_link.tcp;
  const std::string port = m_link.link;
  auto reconnect = [tcp, port](DeviceSession& s) {
    s.Connect(tcp ? LinkTarget::Tcp(s.Socket.Address) : LinkTarget::Serial(port));
  };
  const uint64_t mount = ++m_mounts;
  // On a thread of the mount; the window outlives the mount, which ends its threads first.
  auto onGone = [this, mount] {
    QMetaObject::invokeMethod(
        this,
        [this, mount] {
          if (mount != m_mounts || !m_folderMount) return;
          const QString folder = MountFolder();
          CloseFolderMount();
          ShowErrorBox(this, tr("The device does not answer any more, so its folder %1 has been unmounted. "
                                "Check the cable or the network, reconnect, then open it in the file manager again.")
                                 .arg(folder));
        },
        Qt::QueuedConnection);
  };
  LogModel* log = m_log.get();
  try {
    const std::string folder = FolderMount::MakeMountFolder(quillon ? "quillon" : "tallis");
    m_folderMount = std::make_unique<FolderMount>(
        m_device->Worker(), quillon, folder, [log](const std::string& line) { log->Append("Mount: " + line); },
        reconnect, onGone);
  } catch (const DeviceError& e) {
    QString text = MessageText(e.what());
    if (!e.Detail().empty()) text += QStringLiteral("\n\n") + MessageText(e.Detail());
    ShowErrorBox(this, text);
    return;
  }
  m_mountNotifier = std::make_unique<QSocketNotifier>(m_folderMount->EndedFd(), QSocketNotifier::Read);
  connect(m_mountNotifier.get(), &QSocketNotifier::activated, this, [this] {
    // Unmounted from outside (fusermount3 -u): what is left is taken down.
    const QString folder = MountFolder();
    CloseFolderMount();
    ShowStatus(tr("The device's folder %1 was unmounted").arg(folder));
  });
  m_log->Append("Mounted the device at " + m_folderMount->Folder());
  ShowMountInFileManager();
}

void MainWindow::ShowMountInFileManager() {
  const QString folder = MountFolder();
  ShowStatus(tr("The device's folders are at %1").arg(folder));
  if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
    ShowErrorBox(this, tr("No file manager could be opened. The device's folders are at %1: open that folder "
                          "yourself, in a file manager or a terminal.")
                           .arg(folder));
}

void MainWindow::CloseFolderMount() {
  if (!m_folderMount) return;
  m_mountNotifier.reset();
  const std::string folder = m_folderMount->Folder();
  m_folderMount.reset();
  ++m_mounts;
  m_log->Append("Unmounted the device from " + folder);
}

bool MainWindow::RefuseMountedPaths(const QStringList& paths, const QString& problem) {
  if (!m_folderMount) return false;
  const QString mount = QDir::cleanPath(MountFolder());
  for (const QString& p : paths) {
    const QString path = QDir::cleanPath(QDir::isAbsolutePath(p) ? p : QDir::current().absoluteFilePath(p));
    if (path == mount || path.startsWith(mount + QLatin1Char('/'))) {
      ShowErrorBox(this, problem.arg(mount));
      return true;
    }
  }
  return false;
}

bool MainWindow::UnmountBeforeLinkChange(const std::function<void()>& again) {
  if (!m_folderMount) return true;
  if (m_device->CommandRunning()) {
    m_device->Refuse();
    return false;
  }
  CloseFolderMount();
  // The mount's last command has ended; the worker is free once it has said so.
  if (!m_device->Busy()) return true;
  if (again) connect(m_device, &DeviceController::idle, this, again, Qt::SingleShotConnection);
  return false;
}

}  // namespace corvane
