#pragma once
// `corvane mount`: the device's folders at a mount point until it is
// unmounted (fusermount3 -u), or Ctrl-C, SIGTERM or SIGHUP end it.
#include <functional>
#include <iosfwd>
#include <string>

#include "mount/mounted_device.h"

namespace corvane {
class DeviceWorker;
}

namespace corvane::mount {

struct MountCommand {
  std::string mountPoint;
  bool quillon = false;
  uint64_t cacheBytes = kDefaultCacheBytes;
  // Connects the session again after a cancelled TCP/IP transfer (device thread).
  MountedDevice::Reconnect reconnect;
};

// The session is connected. Mounts, says where and how to unmount on `out`,
// logs on `log` (one line each), serves until the end, unmounts and removes
// the cache. Returns 0, or 3 when the device went away. Raises DeviceError
// when the mount cannot be made.
int RunMount(DeviceWorker& worker, const MountCommand& command, std::ostream& out,
             const std::function<void(const std::string&)>& log);

// Why `mountPoint` cannot take the mount (missing, not a folder of the
// user's, not empty), as a message that says what to do; empty when it can.
// Checked before the device is connected, so that a wrong folder is said at once.
std::string MountPointProblem(const std::string& mountPoint);

// A per-mount cache folder in `privateFolder`, "mount-PID-XXXXXX"; those of
// mounts whose process is gone are removed first.
std::string MakeCacheFolder(const std::string& privateFolder);

}  // namespace corvane::mount
