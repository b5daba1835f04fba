#pragma once
// The device's folders mounted for the desktop's file manager, on the
// window's own device worker: the mount's commands and the window's take
// turns on the one device thread. Built only with libfuse 3; without it
// Available() is false and nothing else here may be used.
#include <functional>
#include <memory>
#include <string>

namespace corvane {

class DeviceSession;
class DeviceWorker;

class FolderMount {
 public:
  using Logger = std::function<void(const std::string&)>;
  // Connects the session again on the device thread (after a cancelled
  // TCP/IP transfer closed the connection).
  using Reconnect = std::function<void(DeviceSession&)>;

  // True when this build can mount.
  static bool Available();
  // The folder to mount at: `name` in $XDG_RUNTIME_DIR/corvane (made 0700),
  // or "name-2" … when another mount holds it. Raises DeviceError(kLocalFile)
  // saying why there is none.
  static std::string MakeMountFolder(const std::string& name);

  // Mounts at `folder`; raises DeviceError(kLocalFile) when it cannot.
  // `onGone` runs on a thread of the mount once the device stopped answering.
  FolderMount(DeviceWorker& worker, bool quillon, const std::string& folder, Logger log, Reconnect reconnect,
              std::function<void()> onGone);
  // Unmounts: commands waiting for their turn give up, a running transfer is
  // cancelled, and the call waits for the device's command to end. The
  // folder is removed when empty.
  ~FolderMount();
  FolderMount(const FolderMount&) = delete;
  FolderMount& operator=(const FolderMount&) = delete;

  const std::string& Folder() const { return m_folder; }
  // Readable once the mount has ended (also from outside: fusermount3 -u).
  int EndedFd() const;

 private:
  struct Parts;
  std::string m_folder;
  std::unique_ptr<Parts> m_parts;
};

}  // namespace corvane
