#include "cli/tree_commands.h"

#include <sys/stat.h>

#include <filesystem>
#include <ostream>

#include "cli/cli_text.h"
#include "desktop/backup.h"
#include "desktop/local_files.h"
#include "desktop/tree_copy.h"
#include "link/link_error.h"
#include "session/device_session.h"

namespace corvane::cli {
namespace {

namespace fs = std::filesystem;

std::string FileCount(int n) { return std::to_string(n) + (n == 1 ? " file" : " files"); }
std::string EntryCount(size_t n) { return std::to_string(n) + (n == 1 ? " entry" : " entries"); }

// Entries the walk could not enter: one line each; they make the command fail.
void ReportSkipped(std::ostream& note, const std::vector<std::string>& skipped) {
  for (const std::string& line : skipped) note << "not copied: " << TerminalText(line) << '\n';
}

void CheckFolderExists(DeviceSession& s, const Bytes& folder) {
  if (!DeviceFolders(s).Exists(folder))
    throw DeviceError(ErrorKind::kFailed, "'" + DevicePath::Parse(folder).Shown() + "' is not a folder on the device (see 'corvane ls')");
}

}  // namespace

int GetTree(const DeviceRun& run, std::ostream& note, const std::string& deviceFolder, const std::string& local) {
  const Bytes folder = UserDevicePath(deviceFolder);
  const Bytes name = DevicePath::Parse(folder).Name();  // none for the root
  // As cp -r does: into an existing folder goes a folder of the device
  // folder's name; otherwise LOCAL is made.
  std::string target = local;
  if (target.empty()) {
    if (name.empty()) throw UsageError("Give the local folder to copy the device's root into");
    target = SafeLocalName(name);
  } else if (fs::is_directory(target) && !name.empty()) {
    target = JoinLocalPath(target, SafeLocalName(name));
  }
  DeviceTree tree;
  FetchCounts counts;
  std::vector<std::string> notSaved;
  run([&](DeviceSession& s) {
    CheckFolderExists(s, folder);
    TransferJob job(s, "Copying " + DevicePath::Parse(folder).Shown());
    tree = ListDeviceTree(s, folder, &job);
    MakeLocalFolder(target);
    counts = FetchTreeEntries(s, tree.entries, target, {}, job, {}, &notSaved);
  });
  ReportSkipped(note, tree.skipped);
  ReportSkipped(note, notSaved);
  note << "Saved " << FileCount(counts.fetched) << " (" << counts.bytes << " bytes) in " << TerminalText(target) << '\n';
  if (!tree.skipped.empty())
    throw DeviceError(ErrorKind::kFailed, EntryCount(tree.skipped.size() + notSaved.size()) +
                                              " could not be copied (see above)");
  if (!notSaved.empty())
    throw DeviceError(ErrorKind::kLocalFile,
                      EntryCount(notSaved.size()) + " could not be saved on this computer (see above)");
  return 0;
}

int PutTree(const DeviceRun& run, std::ostream& note, const std::string& local, const std::string& deviceFolder) {
  // Everything local is checked before the device hears of it, and every
  // device folder before the first file goes.
  const UploadPlan plan = PlanUpload({local}, UserDevicePath(deviceFolder));
  run([&](DeviceSession& s) {
    CheckUploadFolders(s, plan);
    TransferJob job(s, "Copying " + local);
    RunUpload(s, plan, job);
  });
  note << "Copied " << FileCount(static_cast<int>(plan.files.size())) << '\n';
  return 0;
}

int Backup(const DeviceRun& run, std::ostream& note, const std::string& dest) {
  BackupSummary summary;
  run([&](DeviceSession& s) { summary = BackupDevice(s, dest); });
  ReportSkipped(note, summary.skipped);
  note << "Backed up " << FileCount(summary.files) << " into " << TerminalText(dest) << ": " << summary.fetched << " fetched ("
            << summary.bytes << " bytes), " << summary.kept << " unchanged\n";
  if (!summary.skipped.empty())
    throw DeviceError(ErrorKind::kFailed,
                      "The backup is not complete: " + EntryCount(summary.skipped.size()) + " could not be copied (see above)");
  return 0;
}

int Restore(const DeviceRun& run, std::ostream& note, const std::string& dest, const std::string& deviceFolder) {
  const Bytes folder = UserDevicePath(deviceFolder);
  (void)ReadManifest(dest);  // a missing backup is told before connecting
  RestoreSummary summary;
  run([&](DeviceSession& s) { summary = RestoreBackup(s, dest, folder); });
  for (const std::string& line : summary.unplaced) note << "not placed: " << TerminalText(line) << '\n';
  note << "Put back " << FileCount(summary.placed) << '\n';
  if (!summary.unplaced.empty())
    throw DeviceError(ErrorKind::kFailed, std::to_string(summary.unplaced.size()) + " of " +
                                              FileCount(summary.placed + static_cast<int>(summary.unplaced.size())) +
                                              " could not be placed (see above); the device cannot make folders");
  return 0;
}

}  // namespace corvane::cli
