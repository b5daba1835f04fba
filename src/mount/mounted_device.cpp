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

#include "desktop/tree_copy.h"
#include "protocol/listing.h"
#include "session/device_session.h"
#include "session/device_worker.h"

namespace corvane::mount {
namespace {

using namespace std::chrono_literals;

constexpr const char* kAbortedText = "Aborted by user";
// A Tallis object as it is fetched: a 9-byte header before the object.
constexpr int64_t kTallisHeaderBytes = 9;

[[noreturn]] void Cancelled() { throw DeviceError(ErrorKind::kCancelled, kAbortedText); }

// Makes `folder` the device's current folder unless it is already.
void EnterFolder(DeviceSession& s, const DevicePath& folder) {
  if (s.CurrentFolder() != folder.FolderForm()) s.ChangeDir(folder.Canonical());
}

bool SameNameAnyCase(const Bytes& a, const Bytes& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

// What the disk of `folder` still takes, -1 when unknown.
int64_t FreeBytesIn(const std::string& folder) {
  struct statvfs vfs {};
  if (::statvfs(folder.c_str(), &vfs) != 0) return -1;
  return static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
}

// Below this, a local write that failed is taken as a full disk.
constexpr int64_t kNearlyFullBytes = int64_t{1} << 20;

int64_t FileSizeOf(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

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

std::string MountedDevice::NewLocalFile(const char* kind) {
  std::lock_guard lock(m_mutex);
  return m_options.cacheFolder + "/" + kind + "-" + std::to_string(m_nextFile++);
}

uint64_t MountedDevice::AddOpen(OpenFile file) {
  std::lock_guard lock(m_mutex);
  const uint64_t handle = m_nextHandle++;
  if (file.write) m_writing[file.path] = handle;
  m_open.emplace(handle, std::move(file));
  return handle;
}

int MountedDevice::Fetch(const Resolved& r, const std::string& target, const Interrupted& intr) {
  return RunOnDevice(
      [folder = r.folder, name = r.name, listed = r.listedSize, target](DeviceSession& s,
                                                                       const std::atomic<bool>& stop) {
        EnterFolder(s, folder);
        if (stop.load()) Cancelled();
        s.GetFile(name, target, listed);
      },
      intr, "Reading " + r.folder.Join(r.name).Shown());
}

void MountedDevice::KeepInCache(const DevicePath& devicePath, const std::string& file, int64_t size,
                                uint64_t generation) {
  std::lock_guard lock(m_mutex);
  if (const auto it = m_cache.find(devicePath); it != m_cache.end()) {
    ::unlink(it->second.file.c_str());
    m_cacheBytes -= static_cast<uint64_t>(it->second.size);
    m_cache.erase(it);
  }
  const uint64_t bytes = static_cast<uint64_t>(size);
  MakeRoomLocked(bytes);
  if (bytes > m_options.cacheBytes) {
    // Larger than the whole cache: it lives while it is open, and is not kept.
    ::unlink(file.c_str());
    return;
  }
  m_cache[devicePath] = CachedCopy{file, size, generation, ++m_useCounter};
  m_cacheBytes += bytes;
}

void MountedDevice::MakeRoomLocked(uint64_t bytes) {
  // The copies used longest ago make room; a file open for reading keeps its
  // bytes until it is closed.
  while (!m_cache.empty() && m_cacheBytes + bytes > m_options.cacheBytes) {
    auto oldest = std::min_element(m_cache.begin(), m_cache.end(),
                                   [](const auto& a, const auto& b) { return a.second.lastUse < b.second.lastUse; });
    ::unlink(oldest->second.file.c_str());
    m_cacheBytes -= static_cast<uint64_t>(oldest->second.size);
    m_cache.erase(oldest);
  }
}

int MountedDevice::RoomForLocalFile(int64_t bytes, const std::string& path) {
  {
    std::lock_guard lock(m_mutex);
    MakeRoomLocked(static_cast<uint64_t>(std::max<int64_t>(0, bytes)));
  }
  const int64_t free = FreeBytesIn(m_options.cacheFolder);
  if (free < 0 || free >= bytes) return 0;
  Log("No room for " + path + " (" + std::to_string(bytes) + " bytes) in the mount's cache folder " +
      m_options.cacheFolder + " (" + std::to_string(free) +
      " bytes free): free space there, or mount again with TMPDIR set to a folder on a disk with room");
  return -ENOSPC;
}

int MountedDevice::LocalFailure(int rc, const std::string& path) const {
  if (rc != -EIO) return rc;
  const int64_t free = FreeBytesIn(m_options.cacheFolder);
  if (free < 0 || free >= kNearlyFullBytes) return rc;
  Log("The disk of the mount's cache folder " + m_options.cacheFolder + " is full (" + path +
      " was not fetched): free space there, or mount again with TMPDIR set to a folder on a disk with room");
  return -ENOSPC;
}

void MountedDevice::FailLocked(OpenFile& file, int error) {
  if (file.failed != 0) return;
  file.failed = error;
  file.dirty = false;
  Log("Not written to the device: " + file.path + " (its local copy in " + m_options.cacheFolder +
      " could not be written: " + std::strerror(error) + ")");
}

int MountedDevice::Open(const std::string& path, bool write, bool truncate, uint64_t& handle,
                        const Interrupted& intr) {
  {
    std::lock_guard lock(m_mutex);
    if (m_writing.count(path) != 0) {
      Log(path + " is being written here: open it again once it is closed");
      return -EBUSY;
    }
  }
  Resolved r;
  if (const int rc = Resolve(path, r, intr); rc != 0) return rc;
  if (!r.exists) return -ENOENT;
  if (r.folderEntry) return -EISDIR;
  const DevicePath devicePath = r.folder.Join(r.name);
  OpenFile file;
  file.path = path;
  file.folder = r.folder;
  file.name = r.name;
  file.write = write;
  // A copy fetched under the same listing, of the same size, is used again.
  std::string cached;
  {
    std::lock_guard lock(m_mutex);
    if (auto it = m_cache.find(devicePath);
        it != m_cache.end() && it->second.generation == r.generation && it->second.size == r.size) {
      it->second.lastUse = ++m_useCounter;
      cached = it->second.file;
    }
  }
  if (write) {
    file.local = NewLocalFile("write");
    file.fd = ::open(file.local.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (file.fd < 0) return -errno;
    file.dirty = truncate;
    if (!truncate) {
      // Changed in place: the whole file is put again, so it is fetched first.
      std::error_code ec;
      if (!cached.empty()) {
        std::filesystem::copy_file(cached, file.local, std::filesystem::copy_options::overwrite_existing, ec);
      }
      if (cached.empty() || ec) {
        int rc = RoomForLocalFile(r.size, path);
        if (rc == 0) rc = Fetch(r, file.local, intr);
        if (rc != 0) {
          ::close(file.fd);
          ::unlink(file.local.c_str());
          return LocalFailure(rc, path);
        }
      }
      // The fetch replaced the file: the descriptor is opened on what it wrote.
      ::close(file.fd);
      file.fd = ::open(file.local.c_str(), O_RDWR | O_CLOEXEC);
      if (file.fd < 0) {
        const int err = errno;
        ::unlink(file.local.c_str());
        return -err;
      }
    }
    handle = AddOpen(std::move(file));
    return 0;
  }
  if (cached.empty()) {
    if (const int rc = RoomForLocalFile(r.size, path); rc != 0) return rc;
    const std::string target = NewLocalFile("copy");
    if (const int rc = Fetch(r, target, intr); rc != 0) {
      ::unlink(target.c_str());
      return LocalFailure(rc, path);
    }
    struct stat st {};
    const int64_t got = ::stat(target.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
    if (got != r.size) {
      // The file changed on the device since it was listed: what a read
      // returns is the fetched file, and the listing is taken again.
      Log("The device sent " + std::to_string(got) + " bytes of " + path + ", not the " + std::to_string(r.size) +
          " it lists; its folder is listed again");
      std::lock_guard lock(m_mutex);
      m_listings.erase(r.folder);
    }
    file.fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0) {
      const int err = errno;
      ::unlink(target.c_str());
      return -err;
    }
    KeepInCache(devicePath, target, got, got == r.size ? r.generation : 0);
  } else {
    file.fd = ::open(cached.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0) return -errno;
  }
  handle = AddOpen(std::move(file));
  return 0;
}

int MountedDevice::Create(const std::string& path, uint64_t& handle, const Interrupted& intr) {
  {
    std::lock_guard lock(m_mutex);
    if (m_writing.count(path) != 0) {
      Log(path + " is being written here: open it again once it is closed");
      return -EBUSY;
    }
  }
  Resolved r;
  if (const int rc = Resolve(path, r, intr, true); rc != 0) return rc;
  if (r.exists && r.folderEntry) return -EISDIR;
  OpenFile file;
  file.path = path;
  file.folder = r.folder;
  file.name = r.name;
  file.write = true;
  file.dirty = true;  // even an empty file is put
  file.local = NewLocalFile("write");
  file.fd = ::open(file.local.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (file.fd < 0) return -errno;
  handle = AddOpen(std::move(file));
  return 0;
}

int MountedDevice::Read(uint64_t handle, char* buf, size_t size, off_t offset) {
  int fd = -1;
  {
    std::lock_guard lock(m_mutex);
    const auto it = m_open.find(handle);
    if (it == m_open.end()) return -EBADF;
    fd = it->second.fd;
  }
  const ssize_t n = ::pread(fd, buf, size, offset);
  return n < 0 ? -errno : static_cast<int>(n);
}

int MountedDevice::Write(uint64_t handle, const char* buf, size_t size, off_t offset) {
  std::lock_guard lock(m_mutex);
  const auto it = m_open.find(handle);
  if (it == m_open.end()) return -EBADF;
  if (!it->second.write) return -EBADF;
  if (it->second.failed != 0) return -it->second.failed;
  const ssize_t n = ::pwrite(it->second.fd, buf, size, offset);
  if (n < 0 || static_cast<size_t>(n) < size) {
    // A file cut short here would be put cut short: it is not put at all.
    const int error = n < 0 ? errno : ENOSPC;
    FailLocked(it->second, error);
    return -error;
  }
  it->second.dirty = true;
  return static_cast<int>(n);
}

int MountedDevice::SizeOfOpen(uint64_t handle, int64_t& size) {
  std::lock_guard lock(m_mutex);
  const auto it = m_open.find(handle);
  if (it == m_open.end()) return -EBADF;
  size = FileSizeOf(it->second.fd);
  return size < 0 ? -EIO : 0;
}

int MountedDevice::Truncate(uint64_t handle, off_t size) {
  std::lock_guard lock(m_mutex);
  const auto it = m_open.find(handle);
  if (it == m_open.end()) return -EBADF;
  if (!it->second.write) return -EBADF;
  if (it->second.failed != 0) return -it->second.failed;
  if (::ftruncate(it->second.fd, size) != 0) {
    const int error = errno;
    FailLocked(it->second, error);
    return -error;
  }
  it->second.dirty = true;
  return 0;
}

int MountedDevice::TruncatePath(const std::string& path, off_t size, const Interrupted& intr) {
  {
    std::lock_guard lock(m_mutex);
    if (const auto it = m_writing.find(path); it != m_writing.end()) {
      OpenFile& file = m_open.at(it->second);
      if (file.failed != 0) return -file.failed;
      if (::ftruncate(file.fd, size) != 0) {
        const int error = errno;
        FailLocked(file, error);
        return -error;
      }
      file.dirty = true;
      return 0;
    }
  }
  EntryAttr attr;
  if (const int rc = GetAttr(path, attr, intr); rc != 0) return rc;
  if (attr.folder) return -EISDIR;
  if (attr.size == size) return 0;
  // Fetched, cut and put again, as a file opened for writing.
  uint64_t handle = 0;
  if (const int rc = Open(path, true, size == 0, handle, intr); rc != 0) return rc;
  int rc = Truncate(handle, size);
  if (rc == 0) rc = Flush(handle, intr);
  const int released = Release(handle, intr);
  return rc != 0 ? rc : released;
}

int MountedDevice::Flush(uint64_t handle, const Interrupted& intr) {
  OpenFile file;
  {
    std::lock_guard lock(m_mutex);
    const auto it = m_open.find(handle);
    if (it == m_open.end()) return -EBADF;
    if (it->second.failed != 0) return -it->second.failed;
    if (!it->second.write || !it->second.dirty) return 0;
    file = it->second;
  }
  const int64_t length = FileSizeOf(file.fd);
  if (length < 0 || ::fsync(file.fd) != 0) {
    const int error = length < 0 ? EIO : errno;
    std::lock_guard lock(m_mutex);
    if (const auto it = m_open.find(handle); it != m_open.end()) FailLocked(it->second, error);
    return -error;
  }
  const bool quillon = m_quillon;
  auto confirmed = std::make_shared<std::vector<ListingEntry>>();
  const std::string shown = file.folder.Join(file.name).Shown();
  const int rc = RunOnDevice(
      [folder = file.folder, name = file.name, local = file.local, length, quillon, confirmed, shown](
          DeviceSession& s, const std::atomic<bool>& stop) {
        EnterFolder(s, folder);
        if (stop.load()) Cancelled();
        s.PutFile(name, local);
        // Only the device's listing says that it holds the whole file.
        *confirmed = s.ListCurrentFolder();
        const ListingEntry* found = nullptr;
        for (const auto& e : *confirmed)
          if (e.kind != kKindDirectory && e.name == name) found = &e;
        if (found == nullptr)
          for (const auto& e : *confirmed)
            if (e.kind != kKindDirectory && SameNameAnyCase(e.name, name)) found = &e;
        if (found == nullptr)
          throw DeviceError(ErrorKind::kFailed, "The device does not list " + shown +
                                                    " after it was sent: it did not store the file. Check the space "
                                                    "left on the device and write it again");
        // A Tallis keeps an object: with its header the listing gives the
        // object's size, without one the bytes became the object whole.
        const int64_t listed = found->size;
        const bool whole = quillon ? listed == length : listed == length || listed + kTallisHeaderBytes == length;
        if (!whole)
          throw DeviceError(ErrorKind::kFailed, "The device lists " + shown + " with " + std::to_string(listed) +
                                                    " bytes, not the " + std::to_string(length) +
                                                    " that were sent: it did not store the whole file. Check the "
                                                    "space left on the device and write it again");
      },
      intr, "Writing " + shown);
  const DevicePath devicePath = file.folder.Join(file.name);
  Changed(file.folder, devicePath);
  std::lock_guard lock(m_mutex);
  const auto it = m_open.find(handle);
  if (it == m_open.end()) return rc;
  if (rc != 0) {
    // Not put again at release: close() has said it failed.
    it->second.dirty = false;
    Log("Not written to the device: " + file.path);
    return rc;
  }
  it->second.dirty = false;
  return 0;
}

int MountedDevice::Release(uint64_t handle, const Interrupted& intr) {
  bool dirty = false;
  {
    std::lock_guard lock(m_mutex);
    const auto it = m_open.find(handle);
    if (it == m_open.end()) return -EBADF;
    dirty = it->second.write && (it->second.dirty || it->second.failed != 0);
  }
  // Written after the last flush (a file that was mapped): put now. A file
  // whose local copy failed answers that again.
  const int rc = dirty ? Flush(handle, intr) : 0;
  std::lock_guard lock(m_mutex);
  const auto it = m_open.find(handle);
  if (it == m_open.end()) return rc;
  ::close(it->second.fd);
  if (it->second.write) {
    ::unlink(it->second.local.c_str());
    if (const auto w = m_writing.find(it->second.path); w != m_writing.end() && w->second == handle)
      m_writing.erase(w);
  }
  m_open.erase(it);
  return rc;
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
