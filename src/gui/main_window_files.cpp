// The main window's copying: Copy to the clipboard, Paste and drops into the
// device, and drags out of the list. Files fetched from the device go to the
// kit's private folder (this run's folder in it), one sub-folder per device
// folder; a drag reuses a file only when this window fetched it from this
// device since the listing it shows.
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QDrag>
#include <QFileInfo>
#include <QMimeData>
#include <QSet>
#include <QStackedWidget>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <stdexcept>

#include "desktop/file_lists.h"
#include "desktop/local_files.h"
#include "gui/device_controller.h"
#include "gui/entry_list_model.h"
#include "gui/file_list_mime.h"
#include "gui/image_list.h"
#include "gui/main_window.h"
#include "gui/message_box.h"
#include "session/device_session.h"

namespace corvane {
namespace {

std::string LocalPath(const QString& path) { return QFile::encodeName(path).toStdString(); }

}  // namespace

// ------------------------------------------------------------- copying in --

QStringList MainWindow::ClipboardFiles() const {
  QStringList files;
  const QMimeData* mime = QApplication::clipboard()->mimeData();
  if (mime == nullptr) return files;
  files = DroppedFiles(mime);
  if (files.isEmpty() && mime->hasFormat(QString::fromLatin1(kMimeGnomeCopiedFiles))) {
    const QByteArray raw = mime->data(QString::fromLatin1(kMimeGnomeCopiedFiles));
    bool cut = false;
    if (auto p = ParseGnomeCopiedFiles(std::string_view(raw.constData(), static_cast<size_t>(raw.size())), cut))
      for (const auto& path : *p) files << QFile::decodeName(QByteArray::fromStdString(path));
  }
  return files;
}

void MainWindow::PasteFromClipboard() {
  if (!m_connected) return;
  const QStringList files = ClipboardFiles();
  if (files.isEmpty()) {
    ArmRefresh();
    return;
  }
  PutLocalFiles(files, m_currentPath);
}

void MainWindow::DropFiles(const QStringList& paths, const Bytes& folder) {
  if (!m_connected) return;
  PutLocalFiles(paths, folder.empty() ? m_currentPath : folder);
}

void MainWindow::PutLocalFiles(const QStringList& paths, const Bytes& folder) {
  if (RefuseMountedPaths(paths, tr("These files are the device's own: they are in %1, where the device is open in "
                                   "the file manager. Copy or move them there, within the file manager."))) {
    emit commandDone();
    return;
  }
  for (const QString& p : paths) {
    if (QFileInfo(p).isDir()) {
      PutLocalTree(paths, folder);
      return;
    }
  }
  // Everything is checked before the first byte goes out: a list that cannot
  // be sent whole is not sent at all.
  std::vector<Bytes> names;
  std::vector<std::string> locals;
  for (const QString& p : paths) {
    const QFileInfo info(p);
    QString problem;
    Bytes name;
    if (!info.isFile())
      problem = tr("\"%1\" is not a file that can be copied to the device (folders cannot be copied). Nothing was copied")
                    .arg(QDir::toNativeSeparators(p));
    else if (!ToDeviceName(info.fileName(), name))
      problem = tr("The device cannot store the name \"%1\": it holds characters outside Latin-1. "
                   "Rename the file and try again. Nothing was copied")
                    .arg(info.fileName());
    if (!problem.isEmpty()) {
      ShowErrorBox(this, problem);
      emit commandDone();
      return;
    }
    names.push_back(name);
    locals.push_back(LocalPath(info.absoluteFilePath()));
  }
  RunCommand(
      [folder, names, locals](DeviceSession& s) {
        for (const Bytes& name : names) s.CheckEntryName(name);
        s.ChangeDir(folder);
        // Over TCP/IP the files are confirmed by one listing after the last.
        PutBatch batch(s);
        for (size_t i = 0; i < names.size(); ++i) batch.Put(names[i], locals[i]);
        batch.Confirm();
      },
      [this, folder] {
        if (folder != m_currentPath) m_listings.erase(folder);
        ArmRefresh();
      },
      false);
}

// ------------------------------------------------------------ copying out --

// The private sub-folder for the files of one device folder: the same file
// name in two device folders must not make one local file, nor the same name
// on two devices one after the other on the same window.
QString MainWindow::FetchFolderFor(const Bytes& devicePath) {
  // Made again when something has taken it away meanwhile (a cleaner of /tmp).
  if (m_runFolder) {
    const QFileInfo run(QFile::decodeName(QByteArray::fromStdString(m_runFolder->Path())));
    if (run.isSymLink() || !run.isDir()) m_runFolder.reset();
  }
  if (!m_runFolder) m_runFolder = std::make_unique<RunFolder>(PrivateTempFolder());
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  const std::string key = std::to_string(m_connection) + ":" + devicePath;
  for (unsigned char c : key) hash = (hash ^ c) * 1099511628211ull;
  const QString folder = QFile::decodeName(QByteArray::fromStdString(m_runFolder->Path())) +
                         QStringLiteral("/folder-%1").arg(hash, 16, 16, QLatin1Char('0'));
  if (!QDir().mkpath(folder))
    throw DeviceError(ErrorKind::kLocalFile, "Cannot make the folder " + LocalPath(folder) +
                                                 " for the fetched files. Set TMPDIR to a folder of your own and try again.");
  QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  return folder;
}

bool MainWindow::PrepareDownloadList() {
  m_download = DownloadList{};
  const auto selected = SelectedEntries();
  if (selected.empty()) return true;
  QString folder;
  try {
    folder = FetchFolderFor(m_currentPath);
  } catch (const std::exception& e) {
    ShowErrorBox(this, MessageText(e.what()));
    return false;
  }
  m_download.connection = m_connection;
  const auto listed = m_listedAt.find(m_currentPath);
  m_download.listing = listed == m_listedAt.end() ? 0 : listed->second;
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
    m_download.names.push_back(s.name);
    m_download.paths.push_back(folder + QLatin1Char('/') + local);
    m_download.sizes.push_back(s.size);
    m_download.kinds.push_back(s.kind);
  }
  return true;
}

bool MainWindow::DownloadCached(const DownloadList& list, size_t index) const {
  // A folder's files are looked at one by one as its tree is fetched.
  if (list.kinds[index] == kKindDirectory) return false;
  // Only what this window fetched from this device since the listing it
  // shows: a file of the same size may hold older bytes.
  return m_fetched.Reusable(LocalPath(list.paths[static_cast<qsizetype>(index)]), list.connection, list.listing,
                            m_link.FetchedSize(list.sizes[index]));
}

void MainWindow::FetchDownloads(bool useCache, Downloaded then) {
  const DownloadList list = m_download;  // what this command fetches, whatever comes after it
  std::vector<Bytes> names;
  std::vector<std::string> locals;
  std::vector<int64_t> sizes;
  std::vector<int> kinds;
  for (size_t i = 0; i < list.names.size(); ++i) {
    if (useCache && DownloadCached(list, i)) continue;
    names.push_back(list.names[i]);
    locals.push_back(LocalPath(list.paths[static_cast<qsizetype>(i)]));
    sizes.push_back(list.sizes[i]);
    kinds.push_back(list.kinds[i]);
  }
  if (names.empty()) {
    then(list);
    return;
  }
  auto fresh = std::make_shared<FetchedCopies>();
  Done done = [this, list, fresh, then] {
    m_fetched.Merge(*fresh);
    then(list);
  };
  const Bytes path = m_currentPath;
  if (std::find(kinds.begin(), kinds.end(), int{kKindDirectory}) != kinds.end()) {
    FetchTrees(path, names, locals, sizes, kinds, list, useCache, fresh, std::move(done));
    return;
  }
  const uint64_t connection = list.connection, listing = list.listing;
  RunCommand(
      [path, names, locals, sizes, fresh, connection, listing](DeviceSession& s) {
        for (const Bytes& name : names) s.CheckEntryName(name);
        s.ChangeDir(path);
        for (size_t i = 0; i < names.size(); ++i) {
          try {
            s.GetFile(names[i], locals[i], sizes[i]);
          } catch (...) {
            // An older copy of a file that failed now is not the device's file.
            std::remove(locals[i].c_str());
            throw;
          }
          fresh->Record(locals[i], connection, listing);
        }
      },
      std::move(done), false);
}

QMimeData* MainWindow::MakeFileMime(const DownloadList& list, bool clipboardMarkers) const {
  std::vector<std::string> locals;
  for (const QString& p : list.paths) locals.push_back(LocalPath(QFileInfo(p).absoluteFilePath()));
  auto* mime = new QMimeData;
  mime->setData(QString::fromLatin1(kMimeUriList), QByteArray::fromStdString(BuildUriList(locals)));
  if (clipboardMarkers) {
    mime->setData(QString::fromLatin1(kMimeGnomeCopiedFiles),
                  QByteArray::fromStdString(BuildGnomeCopiedFiles(locals, false)));
    mime->setData(QString::fromLatin1(kMimeKdeCutSelection), QByteArray::fromStdString(BuildKdeCutSelection(false)));
  }
  // The shell's own formats too: the drop effect (copy only) and the device
  // names the fetched files stand for.
  QStringList mapped;
  if (list.names.size() == static_cast<size_t>(list.paths.size()))
    for (const Bytes& name : list.names) mapped << DeviceText(name);
  AddShellFileFormats(*mime, kDropEffectCopy, static_cast<int>(list.paths.size()), mapped);
  return mime;
}

void MainWindow::CopyToClipboard() {
  if (!m_connected) return;
  if (m_device->Busy()) {  // the running command keeps its download list
    m_device->Refuse();
    return;
  }
  if (!PrepareDownloadList() || m_download.names.empty()) return;
  // The clipboard keeps what it had unless every file arrived.
  FetchDownloads(false, [this](const DownloadList& list) {
    QApplication::clipboard()->setMimeData(MakeFileMime(list, true));
  });
}

// A drag cannot wait for the device: a drop target asks for the data once,
// at the drop, and gives up after a few seconds. So the files are fetched
// first, under the transfer dialog, and the drag carries local files.
void MainWindow::DragSelectionOut() {
  if (!m_connected) return;
  if (m_device->Busy()) {  // the session is not to be read while it works
    m_device->Refuse();
    return;
  }
  if (!PrepareDownloadList() || m_download.names.empty()) return;
  FetchDownloads(true, [this](const DownloadList& list) {
    // Started from the event loop, not from within the command's result.
    QTimer::singleShot(0, this, [this, list] {
      if (QGuiApplication::mouseButtons() & Qt::LeftButton)
        BeginDrag(list);
      else
        ShowStatus(tr("The files are ready: drag them again to drop them"));
    });
  });
}

void MainWindow::BeginDrag(const DownloadList& list) {
  auto* drag = new QDrag(CurrentListView());
  drag->setMimeData(MakeFileMime(list, false));
  drag->setPixmap(ImageListIcon(kImageFile).pixmap(QSize(32, 32), devicePixelRatioF()));
  ++m_dragsStarted;
  emit dragStarted();
  drag->exec(Qt::CopyAction, Qt::CopyAction);
}

}  // namespace corvane
