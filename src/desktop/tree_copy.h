#pragma once
// Whole folders: a device folder and everything below it listed as one tree,
// copied to this computer keeping the tree, and local folders put into device
// folders that exist. The protocol has no command that makes a folder, so a
// local folder can only go where the device already has one of that name.
//
// Everything here that talks to the device runs on the device thread, inside
// an operation of the device worker.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "link/bytes.h"
#include "session/device_path.h"

namespace corvane {

class DeviceSession;

// One entry below the folder that was listed.
struct TreeEntry {
  Bytes folder;       // the device folder that lists it ("\\a\\b")
  Bytes name;         // as the device listed it
  int kind = 0;       // EntryKind
  int64_t size = 0;   // listed size in bytes
  std::string local;  // relative local path, "a/b/name", every component a safe name
  DevicePath Path() const { return DevicePath::Parse(folder).Join(name); }
  bool IsFolder() const { return kind == 0; }
};

struct DeviceTree {
  std::vector<TreeEntry> entries;    // each folder before what it holds
  std::vector<std::string> skipped;  // entries that cannot be reached, with the reason
};

// Safe local names for the names of one listing, in order: SafeLocalName of
// each, and a number before the extension where two would be the same
// ("a/b" and "a_b" give "a_b" and "a_b (2)").
// Names in `reserved` are never given out.
std::vector<std::string> UniqueLocalNames(const std::vector<Bytes>& names, const std::set<std::string>& reserved = {});

// A run of transfers under one transfer dialog (see StatusDialog::BeginJob):
// Cancel works between the transfers too.
class TransferJob {
 public:
  TransferJob(DeviceSession& s, const std::string& caption);
  ~TransferJob();
  TransferJob(const TransferJob&) = delete;
  TransferJob& operator=(const TransferJob&) = delete;

  void Progress(const std::string& text);
  // Raises DeviceError(kCancelled) once Cancel was pressed.
  void CheckCancel() const;

 private:
  DeviceSession& m_s;
};

// Lists `folder` and every folder below it. Folders whose names cannot be
// reached as a path (a backslash, an empty name, ".", "..", a blank on a
// Tallis, deeper than kMaxTreeDepth) are not entered and are named in
// `skipped`. `job`, when given, shows which folder is listed and is checked
// for Cancel between listings.
inline constexpr int kMaxTreeDepth = 32;
// `reservedTop`: local names the entries of `folder` itself must not take
// (a backup keeps its manifest there).
DeviceTree ListDeviceTree(DeviceSession& s, const Bytes& folder, TransferJob* job = nullptr,
                          const std::set<std::string>& reservedTop = {});

// Copies the entries into `localRoot` (which must exist): folders are made,
// files fetched under a temporary name and renamed when whole. A file for
// which `keep` (when given) says so is not fetched again. `onEntry` is called
// after each folder made and each file that is whole, with whether it was
// fetched now. Raises on the first failure; but when `notSaved` is given, an
// entry that cannot be saved on this computer (a local-file failure: a name
// too long for the file system, a folder or link in the way, a file that
// cannot be written) is left out, with everything below it, and named there
// ("/a/b: why"), and the copy goes on.
struct FetchCounts {
  int fetched = 0;
  int kept = 0;
  int64_t bytes = 0;  // bytes fetched
};
using KeepLocal = std::function<bool(const TreeEntry& entry, const std::string& target)>;
FetchCounts FetchTreeEntries(DeviceSession& s, const std::vector<TreeEntry>& entries, const std::string& localRoot,
                             const KeepLocal& keep, TransferJob& job,
                             const std::function<void(const TreeEntry&, bool fetched)>& onEntry = {},
                             std::vector<std::string>* notSaved = nullptr);

// Whether local file `path` is a whole fetch of an entry listed with `size`.
bool LocalFileIsWhole(const DeviceSession& s, const std::string& path, int64_t size);

// Removes whatever below `localRoot` the entries do not name (a private
// copy of a device folder then holds what the device holds, no more).
// Symbolic links are removed, never followed.
void RemoveLocalExtras(const std::string& localRoot, const std::vector<TreeEntry>& entries);

// Makes `path` a folder (a folder already there is fine; a file or a symbolic
// link in the way is refused). Raises DeviceError(kLocalFile).
void MakeLocalFolder(const std::string& path);

// ---- putting local files and folders onto the device ----

struct UploadItem {
  Bytes folder;       // device folder it goes into
  Bytes name;         // device name (8-bit)
  std::string local;  // local file
};

struct UploadPlan {
  std::vector<UploadItem> files;
  std::vector<Bytes> folders;  // device folders the files need, the target first
};

// The local part of the check, on any thread: every local path must be a
// regular file or a folder that can be read, and every name must fit the
// device's 8-bit names. A local folder X goes to `deviceFolder`\X, its
// sub-folders below that. Raises DeviceError(kLocalFile or kUsage) naming
// every problem; nothing is planned then.
UploadPlan PlanUpload(const std::vector<std::string>& localPaths, const Bytes& deviceFolder);

// Whether device folders exist, listing each parent once.
class DeviceFolders {
 public:
  explicit DeviceFolders(DeviceSession& s) : m_s(s) {}
  bool Exists(const Bytes& folder);

 private:
  DeviceSession& m_s;
  std::map<Bytes, bool> m_known;
};

// The device part of the check: raises DeviceError(kFailed) naming every
// device folder that is missing, before anything is sent.
void CheckUploadFolders(DeviceSession& s, const UploadPlan& plan);

// Sends the plan's files, one folder after the other, under `job`. Over
// TCP/IP the files of a folder are confirmed together by one listing of the
// folder after its last file (see PutBatch): the run raises DeviceError
// (kFailed) naming the files that listing does not show whole, and does not
// go on to the next folder.
void RunUpload(DeviceSession& s, const UploadPlan& plan, TransferJob& job);

}  // namespace corvane
