#pragma once
// The device's folders as a file system, without the file-system binding:
// every call takes a path as the kernel gives it ("/a/b") and answers 0 or a
// negative errno. Calls may come from many threads at once; the device is
// driven only through its one worker, one command at a time, and a call
// waits for its turn. A call that waits on the device can be interrupted
// (the caller's Ctrl-C): the running transfer is cancelled as the transfer
// dialog's Cancel does, and the call answers -EINTR within kInterruptGraceMs.
//
// Listings are kept kListingLifetimeMs and dropped at once after any change
// made here. A file opened for reading is fetched whole (the protocol has no
// partial read) into a cache folder; the copy is used again only while the
// folder's listing is the one it was fetched under and shows the same size.
// Files written here are collected in a local file and put when closed,
// then confirmed by a listing that shows them whole.
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "link/bytes.h"
#include "link/clock.h"
#include "link/link_error.h"
#include "mount/mount_names.h"
#include "session/device_path.h"

namespace corvane {
class DeviceSession;
class DeviceWorker;
}  // namespace corvane

namespace corvane::mount {

// How long a folder's listing is believed: long enough that `ls -l` (a
// listing, then a stat of every entry) and a copy of a folder are served by
// one listing, short enough that a change made on the device itself shows
// while the user still looks.
inline constexpr uint64_t kListingLifetimeMs = 3000;
inline constexpr uint64_t kDefaultCacheBytes = uint64_t{256} << 20;
// How long an interrupted call waits for the cancelled transfer to end
// before it answers EINTR anyway (the transfer then ends on its own).
inline constexpr uint64_t kInterruptGraceMs = 300;

struct MountOptions {
  std::string cacheFolder;  // made by the caller, removed with everything in it when the mount ends
  uint64_t cacheBytes = kDefaultCacheBytes;
  uint64_t listingLifetimeMs = kListingLifetimeMs;
};

struct EntryAttr {
  bool folder = false;
  int64_t size = 0;  // what a read returns
};

class MountedDevice {
 public:
  // True once the caller gave up on the call (a signal).
  using Interrupted = std::function<bool()>;
  // Connects the session again (on the device thread) after a cancelled
  // TCP/IP transfer closed the connection.
  using Reconnect = std::function<void(DeviceSession&)>;
  using Logger = std::function<void(const std::string&)>;

  MountedDevice(DeviceWorker& worker, bool quillon, MountOptions options, Logger log, Reconnect reconnect = {},
                Clock& clock = Clock::System());
  // Waits for a command of its own still running, closes open files, removes the cache.
  ~MountedDevice();
  MountedDevice(const MountedDevice&) = delete;
  MountedDevice& operator=(const MountedDevice&) = delete;

  int GetAttr(const std::string& path, EntryAttr& out, const Interrupted& intr);
  int ReadDir(const std::string& path, std::vector<std::pair<std::string, EntryAttr>>& out, const Interrupted& intr);
  // Opens an existing file. For reading, or for writing (`truncate`: O_TRUNC).
  int Open(const std::string& path, bool write, bool truncate, uint64_t& handle, const Interrupted& intr);
  // Opens a file for writing, made when missing.
  int Create(const std::string& path, uint64_t& handle, const Interrupted& intr);
  int Read(uint64_t handle, char* buf, size_t size, off_t offset);
  int Write(uint64_t handle, const char* buf, size_t size, off_t offset);
  int SizeOfOpen(uint64_t handle, int64_t& size);
  int Truncate(uint64_t handle, off_t size);
  int TruncatePath(const std::string& path, off_t size, const Interrupted& intr);
  // Puts what was written since the last flush; the put's failure is the answer.
  int Flush(uint64_t handle, const Interrupted& intr);
  int Release(uint64_t handle, const Interrupted& intr);
  int Unlink(const std::string& path, const Interrupted& intr);
  // Within one folder; onto an existing file, that file is deleted first.
  // RENAME_NOREPLACE is kept; RENAME_EXCHANGE cannot be done.
  int Rename(const std::string& from, const std::string& to, unsigned flags, const Interrupted& intr);
  // What the device cannot do: logs why and answers `error`.
  int Refuse(const std::string& what, const std::string& path, const std::string& why, int error);

  // The device went away (the link broke or timed out): every call from now
  // on fails. `onGone` runs once, on the thread that saw it.
  bool DeviceGone() const { return m_gone.load(); }
  void SetOnDeviceGone(std::function<void()> onGone) { m_onGone = std::move(onGone); }
  // The mount is ending: commands waiting for their turn give up, a running
  // transfer is cancelled.
  void Stop();
  uint64_t CachedBytes() const;

 private:
  struct Listing {
    FolderNames names;
    std::vector<int64_t> sizes;  // what a read of entry i returns
    uint64_t takenMs = 0;
    uint64_t generation = 0;
  };
  struct Resolved {
    DevicePath folder;    // the device folder that holds it (the root for the root's entries)
    Bytes name;           // its device name (a new name when it does not exist yet)
    bool exists = false;
    bool folderEntry = false;
    int64_t listedSize = 0;  // as the listing gives it
    int64_t size = 0;        // what a read returns
    uint64_t generation = 0;
    bool root = false;
  };
  struct OpenFile {
    int fd = -1;
    bool write = false;
    bool dirty = false;
    // A local write or truncate that failed (its errno): the file is then
    // never put, and every flush and the close answer it.
    int failed = 0;
    std::string path;   // the mount path
    DevicePath folder;  // where it goes on the device
    Bytes name;
    std::string local;  // the local file (a cache copy for reading: not ours to remove)
  };
  struct CachedCopy {
    std::string file;
    int64_t size = 0;
    uint64_t generation = 0;
    uint64_t lastUse = 0;
  };
  struct Job;
  using DeviceOp = std::function<void(DeviceSession&, const std::atomic<bool>& stop)>;

  int RunOnDevice(DeviceOp op, const Interrupted& intr, const std::string& what);
  int ErrnoOf(const DeviceError& e) const;
  // The folder's listing, from the device when the kept one is too old.
  int GetListing(const DevicePath& folder, std::shared_ptr<const Listing>& out, const Interrupted& intr);
  int Resolve(const std::string& path, Resolved& out, const Interrupted& intr, bool forNew = false);
  int Fetch(const Resolved& r, const std::string& target, const Interrupted& intr);
  void Changed(const DevicePath& folder, const DevicePath& devicePath);
  void KeepInCache(const DevicePath& devicePath, const std::string& file, int64_t size, uint64_t generation);
  // Drops the copies used longest ago until `bytes` more fit the bound (m_mutex held).
  void MakeRoomLocked(uint64_t bytes);
  // 0 when the cache folder's disk can take a file of `bytes` (old copies
  // are dropped for it first), else -ENOSPC with a line saying what to do.
  int RoomForLocalFile(int64_t bytes, const std::string& path);
  // The answer for a fetch that failed on the local side: -ENOSPC when the
  // cache folder's disk is full, else `rc`.
  int LocalFailure(int rc, const std::string& path) const;
  // Marks a file written here whose local copy failed (m_mutex held).
  void FailLocked(OpenFile& file, int error);
  std::string NewLocalFile(const char* kind);
  uint64_t AddOpen(OpenFile file);
  void Log(const std::string& line) const;

  DeviceWorker& m_worker;
  bool m_quillon;
  MountOptions m_options;
  Logger m_log;
  Reconnect m_reconnect;
  Clock& m_clock;
  std::function<void()> m_onGone;

  // The device's turn: one command of ours at a time.
  std::mutex m_turnMutex;
  std::condition_variable m_turnFree;
  bool m_turnTaken = false;
  std::atomic<bool> m_stopping{false};
  std::atomic<bool> m_gone{false};
  std::atomic<bool> m_goneReported{false};
  std::atomic<bool> m_reconnectNeeded{false};
  std::atomic<bool> m_probing{false};  // the device is asked whether it still answers

  mutable std::mutex m_mutex;  // guards what follows
  std::map<DevicePath, std::shared_ptr<const Listing>> m_listings;
  std::map<DevicePath, CachedCopy> m_cache;
  uint64_t m_cacheBytes = 0;
  std::map<uint64_t, OpenFile> m_open;
  std::map<std::string, uint64_t> m_writing;  // mount path -> handle of a file being written
  uint64_t m_nextHandle = 1;
  uint64_t m_nextGeneration = 1;
  uint64_t m_nextFile = 1;
  uint64_t m_useCounter = 0;
};

}  // namespace corvane::mount
