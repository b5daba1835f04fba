// The mounted device's open files: local copies, the cache of fetched files,
// and the puts at close.
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

using detail::Cancelled;
using detail::EnterFolder;
using detail::FileSizeOf;

// A Tallis object as it is fetched: a 9-byte header before the object.
constexpr int64_t kTallisHeaderBytes = 9;

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

}  // namespace

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

}  // namespace corvane::mount
