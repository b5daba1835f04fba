// The main window's whole-folder commands: local folders put into device
// folders that exist, File > "Back up device…", and the backup offered
// before a ROM upgrade.
#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "desktop/backup.h"
#include "desktop/local_files.h"
#include "desktop/tree_copy.h"
#include "gui/device_controller.h"
#include "gui/main_window.h"
#include "gui/message_box.h"
#include "session/device_session.h"

namespace corvane {
namespace {

std::string LocalPath(const QString& path) { return QFile::encodeName(path).toStdString(); }

const char* const kUpgradeQuestion =
    "You are about to upgrade your device ROM.\r\nAre you sure you want to do it?\r\n"
    "To perform the upgrade, you must have a rom upgrade file (*.bix)\r\n"
    "Ensure that your batteries are fully charged or that AC power is connected";

}  // namespace

// ---------------------------------------------------------------- putting --

void MainWindow::PutLocalTree(const QStringList& paths, const Bytes& folder) {
  std::vector<std::string> locals;
  for (const QString& p : paths) locals.push_back(LocalPath(QFileInfo(p).absoluteFilePath()));
  // Every local entry is checked here, every device folder on the device
  // thread, before the first file goes: a tree that cannot go whole does not go.
  UploadPlan plan;
  try {
    plan = PlanUpload(locals, folder);
  } catch (const DeviceError& e) {
    ShowErrorBox(this, MessageText(e.what()));
    emit commandDone();
    return;
  }
  RunCommand(
      [plan](DeviceSession& s) {
        CheckUploadFolders(s, plan);
        TransferJob job(s, "Copying to the device");
        RunUpload(s, plan, job);
      },
      [this, folder] {
        ForgetListings(folder);
        ArmRefresh();
      },
      false);
}

// --------------------------------------------------------------- fetching --

void MainWindow::FetchTrees(const Bytes& path, const std::vector<Bytes>& names, const std::vector<std::string>& locals,
                            const std::vector<int64_t>& sizes, const std::vector<int>& kinds,
                            const DownloadList& list, bool useCache, std::shared_ptr<FetchedCopies> fresh, Done then) {
  auto skipped = std::make_shared<std::vector<std::string>>();
  const uint64_t connection = list.connection, listing = list.listing;
  // The copies a drag may take unfetched: those this window fetched from this
  // device since the listing it shows (a snapshot for the device thread).
  std::shared_ptr<const FetchedCopies> reusable = useCache ? std::make_shared<FetchedCopies>(m_fetched) : nullptr;
  RunCommand(
      [path, names, locals, sizes, kinds, reusable, fresh, connection, listing, skipped](DeviceSession& s) {
        TransferJob job(s, names.size() == 1 ? "Copying " + DeviceFilePart(names[0]) : std::string("Copying"));
        KeepLocal keep;
        if (reusable)
          keep = [&s, reusable, connection, listing](const TreeEntry& e, const std::string& target) {
            return reusable->Reusable(target, connection, listing, s.FetchedSize(e.size));
          };
        bool inPath = false;  // whether the folder shown is current on the device
        for (size_t i = 0; i < names.size(); ++i) {
          job.CheckCancel();
          if (kinds[i] != kKindDirectory) {
            if (!inPath) s.ChangeDir(path);
            inPath = true;
            try {
              s.GetFile(names[i], locals[i], sizes[i]);
            } catch (...) {
              std::remove(locals[i].c_str());  // an older copy is not the device's file
              throw;
            }
            fresh->Record(locals[i], connection, listing);
            continue;
          }
          inPath = false;
          const DeviceTree tree = ListDeviceTree(s, DevicePath::Parse(path).Join(names[i]).Canonical(), &job);
          // The private copy holds what the device holds now, and nothing else.
          std::error_code ec;
          if (!std::filesystem::is_directory(std::filesystem::symlink_status(locals[i], ec)))
            std::filesystem::remove(locals[i], ec);
          MakeLocalFolder(locals[i]);
          RemoveLocalExtras(locals[i], tree.entries);
          const std::string root = locals[i];
          FetchTreeEntries(s, tree.entries, root, keep, job, [&](const TreeEntry& e, bool fetched) {
            if (fetched) fresh->Record(JoinLocalPath(root, e.local), connection, listing);
          });
          skipped->insert(skipped->end(), tree.skipped.begin(), tree.skipped.end());
        }
      },
      [this, skipped, then] {
        if (!skipped->empty())
          ShowStatus(tr("Not copied: %1").arg(MessageText(skipped->front())) +
                     (skipped->size() > 1 ? tr(" (and %1 more)").arg(skipped->size() - 1) : QString()));
        then();
      },
      false);
}

// ---------------------------------------------------------------- backup --

QAction* MainWindow::MakeBackupAction() {
  m_backup = new QAction(QStringLiteral("Back up device…"), this);
  m_backup->setObjectName(QStringLiteral("BackUp1"));
  connect(m_backup, &QAction::triggered, this, [this] { BackUpDevice(); });
  return m_backup;
}

void MainWindow::BackUpDevice() { BackUpDevice({}); }

QString MainWindow::ChooseBackupFolder() {
  QFileDialog dialog(this, tr("Back up the device into"));
  dialog.setObjectName(QStringLiteral("BackupFolderDialog"));
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly, true);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  // A backup is kept, not scratch: start in the user's home, not wherever
  // the program happened to be started.
  dialog.setDirectory(QDir::homePath());
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
  return dialog.selectedFiles().constFirst();
}

void MainWindow::BackUpDevice(std::function<void()> then) {
  if (!m_connected) {
    ShowStatus(tr("Connect a device to back it up"));
    return;
  }
  if (m_device->Busy()) {
    m_device->Refuse();
    return;
  }
  const QString folder = ChooseBackupFolder();
  if (folder.isEmpty()) return;
  BackUpDeviceTo(folder, std::move(then));
}

void MainWindow::BackUpDeviceTo(const QString& folder, std::function<void()> then) {
  if (RefuseMountedPaths({folder}, tr("Cannot back up into %1: that folder is the device itself, open in the file "
                                      "manager. Choose a folder outside it."))) {
    emit commandDone();
    return;
  }
  auto summary = std::make_shared<BackupSummary>();
  const std::string dest = LocalPath(folder);
  RunCommand([dest, summary](DeviceSession& s) { *summary = BackupDevice(s, dest); },
             [this, summary, folder, then] {
               ShowStatus(tr("Backed up %1 files into %2: %3 fetched, %4 unchanged")
                              .arg(summary->files)
                              .arg(QDir::toNativeSeparators(folder))
                              .arg(summary->fetched)
                              .arg(summary->kept));
               if (!summary->skipped.empty()) {
                 QString text = tr("The backup is not complete: these entries could not be copied:");
                 for (const std::string& line : summary->skipped) text += QLatin1Char('\n') + MessageText(line);
                 ShowMessageBox(this, ApplicationTitle(), text, MessageKind::kWarning);
                 return;  // what waits for a whole backup does not go on
               }
               // From the event loop: the worker takes commands once this has returned.
               if (then) QTimer::singleShot(0, this, then);
             },
             false);
}

MainWindow::UpgradeAnswer MainWindow::AskUpgrade() {
  const QString text = MessageText(kUpgradeQuestion);
  if (MessageBoxHooked() || !m_connected)
    return ShowMessageBox(this, QStringLiteral("Message"), text, MessageKind::kQuestion) ? UpgradeAnswer::kYes
                                                                                          : UpgradeAnswer::kNo;
  // A connected device can be backed up first; the upgrade goes on only
  // once the backup is complete.
  QMessageBox box(QMessageBox::Question, QStringLiteral("Message"), text, QMessageBox::Yes | QMessageBox::No, this);
  box.setObjectName(QStringLiteral("UpgradeQuestion"));
  QPushButton* backUp = box.addButton(tr("Back up first…"), QMessageBox::AcceptRole);
  box.exec();
  if (box.clickedButton() == backUp) return UpgradeAnswer::kBackUpFirst;
  return box.clickedButton() == box.button(QMessageBox::Yes) ? UpgradeAnswer::kYes : UpgradeAnswer::kNo;
}

}  // namespace corvane
