#include "desktop/backup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "desktop/backup_entry.h"
#include "desktop/json_text.h"
#include "desktop/local_files.h"
#include "desktop/tree_copy.h"
#include "link/clock.h"
#include "link/link_error.h"
#include "protocol/listing.h"
#include "protocol/local_file.h"
#include "session/device_session.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void CannotWrite(const std::string& path, int err) {
  throw DeviceError(ErrorKind::kLocalFile, "Cannot write " + path + ": " + std::strerror(err) + ".");
}

std::string NowUtc() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm tm {};
  ::gmtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

const char* DeviceKindName(const DeviceSession& s) { return s.IsQuillon ? "quillon" : "tallis"; }
const char* DeviceDisplayName(const std::string& kind) { return kind == "quillon" ? "Quillon" : "Tallis"; }

void WriteManifest(const std::string& dest, const Manifest& m) {
  const std::string path = JoinLocalPath(dest, kManifestName);
  const std::string text = ManifestJson(m);
  ReplacingFile file;
  int err = file.Open(path);
  if (err == 0) err = file.Write(text.data(), text.size());
  if (err == 0) err = file.Commit();
  if (err != 0)
    throw DeviceError(ErrorKind::kLocalFile, "Cannot write " + path + ": " + std::strerror(err) + ".");
}

// A file a transfer left under its temporary name (".corvane-XXXXXXXX.part";
// older runs named them ".NAME.XXXXXXXX.part"): none of them is a whole file,
// and none is a name the device listed.
// Only these two forms: any other name ending in ".part" may be the user's.
bool IsLeftoverName(const std::string& name) {
  constexpr size_t kSuffix = 5;  // ".part"
  constexpr size_t kRandom = 8;
  if (name.size() < 1 + kRandom + kSuffix || name.front() != '.' ||
      name.compare(name.size() - kSuffix, kSuffix, ".part") != 0)
    return false;
  const size_t random = name.size() - kSuffix - kRandom;
  for (size_t i = random; i < random + kRandom; ++i) {
    const char c = name[i];
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
  }
  const std::string head = name.substr(0, random);
  if (head == ReplacingFile::kTempPrefix) return true;
  // ".NAME." before the random letters, NAME not empty.
  return head.size() >= 3 && head.back() == '.';
}

// Nothing in `folder` but what a backup cut short may leave: its temporary files.
bool HoldsNothingOfItsOwn(const std::string& folder) {
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    if (!IsLeftoverName(it->path().filename().string()) || !it->is_regular_file(ec) || it->is_symlink(ec)) return false;
  return !ec;
}

void RemoveLeftovers(const std::string& dest, const DeviceTree& tree) {
  std::set<std::string> real;
  for (const TreeEntry& e : tree.entries) real.insert(JoinLocalPath(dest, e.local));
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dest, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!IsLeftoverName(name)) continue;
    if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
    if (real.count(it->path().string()) != 0) continue;
    fs::remove(it->path(), ec);
  }
}

// The journal of one run (see backup.h): opened empty once the manifest holds
// what an earlier journal recorded; closed (and synced) on every path.
class BackupJournal {
 public:
  BackupJournal(const std::string& dest, Clock& clock) : m_path(JoinLocalPath(dest, kJournalName)), m_clock(clock) {
    // Whatever was here is in the manifest now; a symbolic link of this name
    // is removed, never written through.
    if (::unlink(m_path.c_str()) != 0 && errno != ENOENT) CannotWrite(m_path, errno);
    m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0666);
    if (m_fd < 0) CannotWrite(m_path, errno);
    m_syncedAt = m_clock.NowMs();
  }
  ~BackupJournal() { Close(); }
  BackupJournal(const BackupJournal&) = delete;
  BackupJournal& operator=(const BackupJournal&) = delete;

  // One line, in one write: a process killed after it returns keeps the line.
  void Add(const ManifestEntry& e, int64_t bytes) {
    const std::string line = "{" + ManifestEntryFields(e) + ", \"bytes\": " + std::to_string(bytes) + "}\n";
    for (size_t done = 0; done < line.size();) {
      const ssize_t n = ::write(m_fd, line.data() + done, line.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) CannotWrite(m_path, n < 0 ? errno : ENOSPC);
      done += static_cast<size_t>(n);
    }
    if (++m_unsynced >= kJournalSyncLines || m_clock.NowMs() - m_syncedAt >= kJournalSyncMs) Sync();
  }

  void Sync() {
    if (m_fd < 0 || m_unsynced == 0) return;
    if (::fdatasync(m_fd) != 0 && errno != EINVAL && errno != EROFS) CannotWrite(m_path, errno);
    m_unsynced = 0;
    m_syncedAt = m_clock.NowMs();
  }

  // Once the manifest holds every line.
  void Remove() {
    Close();
    ::unlink(m_path.c_str());
  }

 private:
  void Close() {
    if (m_fd < 0) return;
    if (m_unsynced > 0) (void)::fdatasync(m_fd);
    ::close(m_fd);
    m_fd = -1;
  }

  std::string m_path;
  Clock& m_clock;
  int m_fd = -1;
  int m_unsynced = 0;
  uint64_t m_syncedAt = 0;
};

bool SameEntry(const ManifestEntry& a, const ManifestEntry& b) {
  return a.path == b.path && a.kind == b.kind && a.size == b.size && a.local == b.local;
}

}  // namespace

BackupSummary BackupDevice(DeviceSession& s, const std::string& dest) {
  s.CheckConnected();
  MakeLocalFolder(dest);
  if (::access(dest.c_str(), W_OK | X_OK) != 0)
    throw DeviceError(ErrorKind::kLocalFile, "Cannot write into " + dest + ": " + std::strerror(errno) + ".",
                      "Choose a folder you may write to.");
  // What the last backup here recorded; without a manifest (or with a
  // damaged one) the files that are whole count.
  std::map<Bytes, ManifestEntry> before;
  std::vector<ManifestEntry> recorded;
  {
    Manifest old;
    std::string why;
    std::ifstream in(JoinLocalPath(dest, kManifestName), std::ios::binary);
    std::ostringstream text;
    if (in) text << in.rdbuf();
    if (in && ParseManifest(text.str(), old, why)) {
      if (old.kind != DeviceKindName(s))
        throw DeviceError(ErrorKind::kUsage, dest + " holds a backup of a " + DeviceDisplayName(old.kind) +
                                                 "; choose another folder for this " +
                                                 DeviceDisplayName(DeviceKindName(s)) + ".");
      // What a run that was killed recorded counts as recorded.
      FoldJournal(dest, old);
      for (const ManifestEntry& e : old.entries) before[e.path] = e;
      recorded = std::move(old.entries);
    } else if (in || !HoldsNothingOfItsOwn(dest)) {
      // Not a backup of ours: its files would be taken for the device's or
      // replaced.
      throw DeviceError(ErrorKind::kUsage,
                        dest + (in ? " holds a " + std::string(kManifestName) + " that is not a backup's (" + why + ")"
                                   : " is not empty and holds no backup") +
                            ": choose an empty folder or the folder of an earlier backup.");
    }
  }

  TransferJob job(s, "Backing up the device");
  // A device file of the manifest's or the journal's name is kept under another name.
  const DeviceTree tree = ListDeviceTree(s, "\\", &job, {kManifestName, kJournalName});
  RemoveLeftovers(dest, tree);

  Manifest m;
  m.kind = DeviceKindName(s);
  m.version = Latin1ToUtf8(s.Version);
  m.taken = NowUtc();
  // Until this run has gone through every entry, the manifest keeps what the
  // last one recorded (those files stay whole: a fetched file replaces one
  // only when it is whole, and its entry is updated then, in the journal and
  // in `m`), so a run cut short never leaves a manifest that lists less than
  // the folder holds. The manifest is written here with the journal folded
  // in, before the journal starts again empty.
  m.entries = std::move(recorded);
  std::map<Bytes, size_t> at;
  for (size_t i = 0; i < m.entries.size(); ++i) at[m.entries[i].path] = i;
  WriteManifest(dest, m);
  BackupJournal journal(dest, s.GetClock());
  std::vector<ManifestEntry> done;

  const auto keep = [&](const TreeEntry& e, const std::string& target) {
    const auto it = before.find(e.Path().Canonical());
    if (it != before.end() && (it->second.kind != e.kind || it->second.size != e.size)) return false;
    return LocalFileIsWhole(s, target, e.size);
  };
  BackupSummary summary;
  const auto record = [&](const TreeEntry& e, bool fetched) {
    ManifestEntry entry{e.Path().Canonical(), e.kind, e.size, e.local};
    bool known = false;
    if (const auto it = at.find(entry.path); it != at.end()) {
      known = !fetched && SameEntry(m.entries[it->second], entry);
      m.entries[it->second] = entry;
    } else {
      at[entry.path] = m.entries.size();
      m.entries.push_back(entry);
    }
    // Only what the manifest does not already say goes into the journal.
    if (!known) {
      struct stat st {};
      const std::string target = JoinLocalPath(dest, e.local);
      if (::lstat(target.c_str(), &st) != 0) CannotWrite(target, errno);
      journal.Add(entry, e.IsFolder() ? 0 : static_cast<int64_t>(st.st_size));
    }
    done.push_back(std::move(entry));
  };
  FetchCounts counts;
  try {
    counts = FetchTreeEntries(s, tree.entries, dest, keep, job, record, &summary.skipped);
  } catch (...) {
    // Cut short (Cancel, a lost link, a local failure): the manifest takes in
    // what the journal holds. Should that fail too, the journal keeps it for
    // the next run, and the first failure is the one reported.
    try {
      WriteManifest(dest, m);
      journal.Remove();
    } catch (const DeviceError&) {
    }
    throw;
  }
  // Gone through: just what the device holds now, in its order. It is whole
  // only when no entry was left out (one that could not be listed or saved
  // here is in neither the manifest nor the folder).
  m.entries = std::move(done);
  m.complete = summary.skipped.empty() && tree.skipped.empty();
  WriteManifest(dest, m);
  journal.Remove();
  for (const TreeEntry& e : tree.entries) summary.files += e.IsFolder() ? 0 : 1;
  summary.fetched = counts.fetched;
  summary.kept = counts.kept;
  summary.bytes = counts.bytes;
  // Those that could not be reached, before those that could not be saved here.
  summary.skipped.insert(summary.skipped.begin(), tree.skipped.begin(), tree.skipped.end());
  return summary;
}

RestoreSummary RestoreBackup(DeviceSession& s, const std::string& dest, const Bytes& deviceFolder) {
  s.CheckConnected();
  const Manifest m = ReadManifest(dest);
  if (m.kind != DeviceKindName(s))
    throw DeviceError(ErrorKind::kUsage, "The backup in " + dest + " is of a " + DeviceDisplayName(m.kind) +
                                             ", not of a " + DeviceDisplayName(DeviceKindName(s)) + ".");
  const Bytes folder = DevicePath::Parse(deviceFolder).Canonical();
  const Bytes prefix = folder == "\\" ? folder : folder + "\\";
  std::vector<const ManifestEntry*> wanted;
  for (const ManifestEntry& e : m.entries)
    if (e.kind != kKindDirectory && e.path.compare(0, prefix.size(), prefix) == 0) wanted.push_back(&e);
  if (wanted.empty())
    throw DeviceError(ErrorKind::kUsage,
                      "The backup in " + dest + " holds no file below " + DevicePath::Parse(folder).Shown() + ".");

  TransferJob job(s, "Restoring the device");
  // Everything is checked before the first file goes.
  RestoreSummary summary;
  DeviceFolders folders(s);
  UploadPlan plan;
  for (const ManifestEntry* e : wanted) {
    const DevicePath path = DevicePath::Parse(e->path);
    const Bytes parent = path.Parent().Canonical();
    // A path that ends in a backslash names no entry.
    const Bytes name = e->path.empty() || e->path.back() == '\\' ? Bytes() : path.Name();
    const std::string local = JoinLocalPath(dest, e->local);
    struct stat st {};
    job.CheckCancel();
    if (name.empty()) {
      summary.unplaced.push_back(path.Shown() + ": no name");
    } else if (::stat(local.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(local.c_str(), R_OK) != 0) {
      summary.unplaced.push_back(path.Shown() + ": " + local + " is missing from the backup");
    } else if (!RefusedNameMessage(name, s.IsQuillon).empty()) {
      summary.unplaced.push_back(path.Shown() + ": the device cannot take this name");
    } else if (!folders.Exists(parent)) {
      summary.unplaced.push_back(path.Shown() + ": the device has no folder " + DevicePath::Parse(parent).Shown());
    } else {
      plan.files.push_back({parent, name, local});
    }
  }
  RunUpload(s, plan, job);
  summary.placed = static_cast<int>(plan.files.size());
  return summary;
}

}  // namespace corvane
