#include "mount/mounted_device.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "mount/mounted_device_shared.h"
#include "desktop/tree_copy.h"
#include "protocol/listing.h"
#include "session/device_session.h"
#include "session/device_worker.h"

namespace corvane::mount {
namespace {

using namespace std::chrono_literals;
using detail::Cancelled;
using detail::EnterFolder;
using detail::FileSizeOf;

std::string ParentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string LastOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool Below(const DevicePath& entry, const DevicePath& folder) {
  const Bytes& path = entry.Canonical();
  const Bytes& top = folder.Canonical();
  return folder.IsRoot() || path == top ||
         (path.size() > top.size() && path.compare(0, top.size(), top) == 0 && path[top.size()] == '\\');
}

}  // namespace

struct MountedDevice::Job {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::optional<DeviceError> error;
  std::atomic<bool> stop{false};
};

MountedDevice::MountedDevice(DeviceWorker& worker, bool quillon, MountOptions options, Logger log,
                             Reconnect reconnect, Clock& clock)
    : m_worker(worker),
      m_quillon(quillon),
      m_options(std::move(options)),
      m_log(std::move(log)),
      m_reconnect(std::move(reconnect)),
      m_clock(clock) {}

MountedDevice::~MountedDevice() {
  Stop();
  {
    // A command of ours may still run (an interrupted one that was left to
    // end): it refers to this object until its completion has run.
    std::unique_lock lock(m_turnMutex);
    m_turnFree.wait(lock, [this] { return !m_turnTaken; });
  }
  std::lock_guard lock(m_mutex);
  for (auto& [handle, file] : m_open) {
    if (file.fd >= 0) ::close(file.fd);
    if (file.write && file.dirty) Log("Not written to the device (the mount ended while it was open): " + file.path);
  }
  m_open.clear();
  std::error_code ec;
  std::filesystem::remove_all(m_options.cacheFolder, ec);
}

void MountedDevice::Stop() {
  m_stopping.store(true);
  m_worker.Cancel();
  m_turnFree.notify_all();
}

void MountedDevice::Log(const std::string& line) const {
  if (m_log) m_log(line);
}

uint64_t MountedDevice::CachedBytes() const {
  std::lock_guard lock(m_mutex);
  return m_cacheBytes;
}

int MountedDevice::ErrnoOf(const DeviceError& e) const {
  switch (e.Kind()) {
    case ErrorKind::kUsage: return -EINVAL;
    case ErrorKind::kCancelled: return -EINTR;
    case ErrorKind::kBusy: return -EBUSY;
    case ErrorKind::kNoConnection: return -EIO;
    case ErrorKind::kLocalFile: return -EIO;
    case ErrorKind::kFailed: return -EIO;
  }
  return -EIO;
}

int MountedDevice::RunOnDevice(DeviceOp op, const Interrupted& intr, const std::string& what) {
  if (m_gone.load()) return -ENOTCONN;
  const auto interrupted = [&] { return m_stopping.load() || (intr && intr()); };
  {
    // The kernel's requests wait here for their turn, one device command at a time.
    std::unique_lock lock(m_turnMutex);
    while (m_turnTaken) {
      if (interrupted()) return -EINTR;
      m_turnFree.wait_for(lock, 50ms);
    }
    if (interrupted()) return -EINTR;
    m_turnTaken = true;
  }
  const auto releaseTurn = [this] {
    {
      std::lock_guard lock(m_turnMutex);
      m_turnTaken = false;
    }
    m_turnFree.notify_all();
  };
  auto job = std::make_shared<Job>();
  DeviceWorker::Operation operation = [this, job, body = std::move(op)](DeviceSession& s) {
    if (job->stop.load()) Cancelled();
    // A cancelled TCP/IP transfer closes the connection: the next command opens it again.
    if (m_reconnectNeeded.exchange(false) && !s.IsConnected() && m_reconnect) m_reconnect(s);
    body(s, job->stop);
  };
  DeviceWorker::Completion completion = [this, job, releaseTurn](const std::optional<DeviceError>& e) {
    if (e && e->Kind() == ErrorKind::kCancelled) m_reconnectNeeded.store(true);
    {
      std::lock_guard lock(job->mutex);
      job->error = e;
      job->done = true;
    }
    job->ended.notify_all();
    releaseTurn();
  };
  // The worker may still be ending the command before (it is busy until its
  // completion has returned), or run one of the window's: wait for it.
  for (;;) {
    try {
      m_worker.Submit(operation, completion);
      break;
    } catch (const DeviceError& e) {
      if (e.Kind() != ErrorKind::kBusy || interrupted()) {
        releaseTurn();
        return e.Kind() == ErrorKind::kBusy ? -EINTR : ErrnoOf(e);
      }
      std::this_thread::sleep_for(5ms);
    }
  }
  std::optional<uint64_t> interruptedAt;
  std::unique_lock lock(job->mutex);
  while (!job->done) {
    if (!interruptedAt && interrupted()) {
      job->stop.store(true);
      interruptedAt = m_clock.NowMs();
    }
    if (interruptedAt) {
      lock.unlock();
      // Taken only while a transfer runs: asked again until the command ends.
      m_worker.Cancel();
      lock.lock();
      if (job->done) break;
      if (m_clock.NowMs() - *interruptedAt >= kInterruptGraceMs) {
        Log(what + ": interrupted; the device's command ends on its own");
        return -EINTR;
      }
    }
    job->ended.wait_for(lock, interruptedAt ? 20ms : 50ms);
  }
  if (!job->error) return 0;
  const DeviceError error = *job->error;
  lock.unlock();
  if (interruptedAt && error.Kind() == ErrorKind::kCancelled) {
    Log(what + ": interrupted");
    return -EINTR;
  }
  if (m_stopping.load()) {
    // Cut short by the unmount (its cancel, or the port closed under it).
    Log(what + ": ended with the mount");
    return -EINTR;
  }
  std::string line = what + " failed: " + error.what();
  std::replace(line.begin(), line.end(), '\r', ' ');
  std::replace(line.begin(), line.end(), '\n', ' ');
  if (!error.Detail().empty()) line += " (" + error.Detail() + ")";
  Log(line);
  // A broken link, or a transfer that lost its device: the device is asked
  // once more (a listing, within the link's deadline) before the mount gives up.
  const bool linkLost = error.Kind() == ErrorKind::kNoConnection ||
                        (error.Kind() == ErrorKind::kFailed && std::string(error.what()) == kConnectionErrorText);
  if (linkLost && !m_stopping.load()) {
    bool gone = error.Kind() == ErrorKind::kNoConnection || m_probing.load();
    if (!gone) {
      m_probing.store(true);
      const int probe = RunOnDevice([](DeviceSession& s, const std::atomic<bool>&) { s.ListCurrentFolder(0); },
                                    nullptr, "Checking that the device answers");
      m_probing.store(false);
      gone = probe != 0 && m_gone.load();
    }
    if (gone) {
      m_gone.store(true);
      if (!m_goneReported.exchange(true)) {
        Log("The device does not answer any more: the mount ends");
        if (m_onGone) m_onGone();
      }
    }
  }
  return ErrnoOf(error);
}

int MountedDevice::GetListing(const DevicePath& folder, std::shared_ptr<const Listing>& out, const Interrupted& intr) {
  {
    std::lock_guard lock(m_mutex);
    const auto it = m_listings.find(folder);
    if (it != m_listings.end() && m_clock.NowMs() - it->second->takenMs < m_options.listingLifetimeMs) {
      out = it->second;
      return 0;
    }
  }
  auto entries = std::make_shared<std::vector<ListingEntry>>();
  auto sizes = std::make_shared<std::vector<int64_t>>();
  const int rc = RunOnDevice(
      [folder, entries, sizes](DeviceSession& s, const std::atomic<bool>&) {
        // The folder made current only when it is not already (a change of
        // folder is a command of its own).
        EnterFolder(s, folder);
        *entries = s.ListCurrentFolder();
        for (const auto& e : *entries) sizes->push_back(e.kind == kKindDirectory ? 0 : s.FetchedSize(e.size));
      },
      intr, "Listing " + folder.Shown());
  if (rc != 0) return rc;
  auto listing = std::make_shared<Listing>();
  listing->names = FolderNames(*entries);
  listing->sizes = std::move(*sizes);
  listing->takenMs = m_clock.NowMs();
  std::lock_guard lock(m_mutex);
  listing->generation = m_nextGeneration++;
  m_listings[folder] = listing;
  out = std::move(listing);
  return 0;
}

int MountedDevice::Resolve(const std::string& path, Resolved& out, const Interrupted& intr, bool forNew) {
  const std::vector<std::string> parts = SplitLocalPath(path);
  out = Resolved{};
  if (parts.empty()) {
    out.root = out.exists = out.folderEntry = true;
    out.folder = DevicePath();
    return 0;
  }
  DevicePath folder;
  std::shared_ptr<const Listing> listing;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    if (const int rc = GetListing(folder, listing, intr); rc != 0) return rc;
    const ListingEntry* e = listing->names.Find(parts[i]);
    if (e == nullptr) return -ENOENT;
    if (e->kind != kKindDirectory) return -ENOTDIR;
    folder = folder.Join(e->name);
  }
  if (const int rc = GetListing(folder, listing, intr); rc != 0) return rc;
  out.folder = folder;
  out.generation = listing->generation;
  if (const auto index = listing->names.IndexOf(parts.back())) {
    const ListingEntry& e = listing->names.Entry(*index);
    out.exists = true;
    out.name = e.name;
    out.folderEntry = e.kind == kKindDirectory;
    out.listedSize = e.size;
    out.size = listing->sizes[*index];
    return 0;
  }
  if (!forNew) return -ENOENT;
  std::string why;
  const auto name = NewDeviceName(parts.back(), m_quillon, why);
  if (!name) {
    Log("Refused the name " + path + ": " + why + " (nothing was sent to the device)");
    return -EINVAL;
  }
  out.name = *name;
  return 0;
}

int MountedDevice::GetAttr(const std::string& path, EntryAttr& out, const Interrupted& intr) {
  {
    std::lock_guard lock(m_mutex);
    if (const auto it = m_writing.find(path); it != m_writing.end()) {
      out.folder = false;
      out.size = std::max<int64_t>(0, FileSizeOf(m_open.at(it->second).fd));
      return 0;
    }
  }
  Resolved r;
  if (const int rc = Resolve(path, r, intr); rc != 0) return rc;
  out.folder = r.folderEntry;
  out.size = r.size;
  return 0;
}

int MountedDevice::ReadDir(const std::string& path, std::vector<std::pair<std::string, EntryAttr>>& out,
                           const Interrupted& intr) {
  Resolved r;
  if (const int rc = Resolve(path, r, intr); rc != 0) return rc;
  if (!r.folderEntry) return -ENOTDIR;
  const DevicePath folder = r.root ? DevicePath() : r.folder.Join(r.name);
  std::shared_ptr<const Listing> listing;
  if (const int rc = GetListing(folder, listing, intr); rc != 0) return rc;
  out.clear();
  for (size_t i = 0; i < listing->names.Count(); ++i) {
    const bool isFolder = listing->names.Entry(i).kind == kKindDirectory;
    out.push_back({listing->names.LocalName(i), EntryAttr{isFolder, listing->sizes[i]}});
  }
  // Files made here that are not put yet are shown too.
  std::lock_guard lock(m_mutex);
  const std::string prefix = path == "/" ? "/" : path + "/";
  for (const auto& [writing, handle] : m_writing) {
    if (ParentOf(writing) != (path == "/" ? "/" : path)) continue;
    const std::string name = LastOf(writing);
    if (listing->names.Find(name) != nullptr) continue;
    out.push_back({name, EntryAttr{false, std::max<int64_t>(0, FileSizeOf(m_open.at(handle).fd))}});
  }
  (void)prefix;
  return 0;
}

void MountedDevice::Changed(const DevicePath& folder, const DevicePath& devicePath) {
  std::lock_guard lock(m_mutex);
  m_listings.erase(folder);
  // A folder renamed or deleted takes what was known below it along.
  for (auto it = m_listings.begin(); it != m_listings.end();)
    it = Below(it->first, devicePath) ? m_listings.erase(it) : std::next(it);
  for (auto it = m_cache.begin(); it != m_cache.end();) {
    if (!Below(it->first, devicePath)) {
      ++it;
      continue;
    }
    ::unlink(it->second.file.c_str());
    m_cacheBytes -= static_cast<uint64_t>(it->second.size);
    it = m_cache.erase(it);
  }
}

int MountedDevice::Unlink(const std::string& path, const Interrupted& intr) {
  Resolved r;
  if (const int rc = Resolve(path, r, intr); rc != 0) return rc;
  if (!r.exists) return -ENOENT;
  if (r.folderEntry) return -EISDIR;
  const DevicePath devicePath = r.folder.Join(r.name);
  const int rc = RunOnDevice(
      [folder = r.folder, name = r.name](DeviceSession& s, const std::atomic<bool>&) {
        EnterFolder(s, folder);
        s.DeleteItem(name);
      },
      intr, "Deleting " + devicePath.Shown());
  Changed(r.folder, devicePath);
  return rc;
}

int MountedDevice::Rename(const std::string& from, const std::string& to, unsigned flags, const Interrupted& intr) {
  if ((flags & RENAME_EXCHANGE) != 0)
    return Refuse("Exchanging", from + " and " + to, "the device has no command that exchanges two entries",
                  -EINVAL);
  Resolved source, target;
  if (const int rc = Resolve(from, source, intr); rc != 0) return rc;
  if (!source.exists) return -ENOENT;
  if (source.root) return -EBUSY;
  if (const int rc = Resolve(to, target, intr, true); rc != 0) return rc;
  if (target.root) return -EBUSY;
  if (source.folder != target.folder) {
    // mv then copies and deletes.
    Log("Moving " + from + " to another folder: the device renames only within a folder (copied and deleted instead)");
    return -EXDEV;
  }
  if (source.name == target.name) return 0;
  if (target.exists) {
    if ((flags & RENAME_NOREPLACE) != 0) return -EEXIST;
    if (target.folderEntry) return source.folderEntry ? -ENOTEMPTY : -EISDIR;
    if (source.folderEntry) return -ENOTDIR;
  }
  const DevicePath folder = source.folder;
  const int rc = RunOnDevice(
      [folder, oldName = source.name, newName = target.name, replace = target.exists](DeviceSession& s,
                                                                                        const std::atomic<bool>&) {
        // Checked before the old file of the new name goes.
        s.CheckEntryName(oldName);
        s.CheckEntryName(newName);
        EnterFolder(s, folder);
        if (replace) s.DeleteItem(newName);
        s.RenameItem(oldName, newName);
      },
      intr, "Renaming " + folder.Join(source.name).Shown());
  Changed(folder, folder.Join(source.name));
  Changed(folder, folder.Join(target.name));
  return rc;
}

int MountedDevice::Refuse(const std::string& what, const std::string& path, const std::string& why, int error) {
  Log(error == 0 ? what + " " + path + ": " + why : what + " " + path + " is not possible: " + why);
  return error;
}

}  // namespace corvane::mount
