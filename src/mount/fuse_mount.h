#pragma once
// A MountedDevice bound to the kernel through libfuse: mounted at a folder,
// served by a thread of its own (and the library's request threads) until
// it is unmounted, here or from outside (fusermount3 -u). auto_unmount is
// always on, so a mount whose program dies does not stay behind.
#include <atomic>
#include <string>
#include <thread>

#include "mount/mounted_device.h"

struct fuse;

namespace corvane::mount {

class FuseMount {
 public:
  FuseMount(MountedDevice& device, std::string mountPoint);
  // Unmounts when still mounted.
  ~FuseMount();
  FuseMount(const FuseMount&) = delete;
  FuseMount& operator=(const FuseMount&) = delete;

  // Mounts and starts serving. Raises DeviceError(kLocalFile) with what to do
  // when the folder or /dev/fuse cannot be used.
  void Start();
  // Stops serving and unmounts; waits for the requests being served (the
  // device's commands among them are cancelled). Not from a request thread.
  void Unmount();
  // Readable once serving has ended (unmounted from outside, or Unmount).
  int EndedFd() const { return m_endedFd; }
  bool Ended() const { return m_ended.load(); }
  const std::string& MountPoint() const { return m_mountPoint; }

 private:
  MountedDevice& m_device;
  std::string m_mountPoint;
  ::fuse* m_fuse = nullptr;
  bool m_mounted = false;
  std::thread m_loop;
  std::atomic<bool> m_ended{false};
  int m_endedFd = -1;
};

// Why the mount point cannot be used ("" when it can): it must be an empty
// folder that this user may write.
std::string MountPointProblem(const std::string& mountPoint);

}  // namespace corvane::mount
