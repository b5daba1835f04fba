#include "gui/folder_mount.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "link/link_error.h"

#ifdef CORVANE_GUI_HAS_MOUNT
#include "desktop/local_files.h"
#include "mount/fuse_mount.h"
#include "mount/mount_command.h"
#include "mount/mounted_device.h"
#endif

namespace corvane {
namespace {

[[noreturn]] void CannotMount(const std::string& why) { throw DeviceError(ErrorKind::kLocalFile, why); }

// `path` as a folder of this user's that only they may enter: made when
// missing, refused when it is something else (a link, another user's).
void OwnFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
    CannotMount("Cannot make the folder " + path + ": " + std::strerror(errno) + ".");
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0)
    CannotMount("Cannot use the folder " + path + ": " + std::strerror(errno) + ".");
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
    CannotMount("Cannot use " + path + ": it is not a folder of yours. Remove it, then try again.");
  if ((st.st_mode & 0777) != 0700 && ::chmod(path.c_str(), 0700) != 0)
    CannotMount("Cannot make " + path + " private: " + std::strerror(errno) + ".");
}

}  // namespace

#ifdef CORVANE_GUI_HAS_MOUNT

struct FolderMount::Parts {
  std::unique_ptr<mount::MountedDevice> device;
  std::unique_ptr<mount::FuseMount> fuse;
};

bool FolderMount::Available() { return true; }

FolderMount::FolderMount(DeviceWorker& worker, bool quillon, const std::string& folder, Logger log,
                         Reconnect reconnect, std::function<void()> onGone)
    : m_folder(folder), m_parts(std::make_unique<Parts>()) {
  mount::MountOptions options;
  try {
    options.cacheFolder = mount::MakeCacheFolder(PrivateTempFolder());
  } catch (const DeviceError&) {
    throw;
  } catch (const std::exception& e) {
    CannotMount(e.what());
  }
  m_parts->device = std::make_unique<mount::MountedDevice>(worker, quillon, options, std::move(log), std::move(reconnect));
  m_parts->device->SetOnDeviceGone(std::move(onGone));
  m_parts->fuse = std::make_unique<mount::FuseMount>(*m_parts->device, m_folder);
  m_parts->fuse->Start();  // on failure the members unwind: nothing was mounted
}

FolderMount::~FolderMount() {
  m_parts->fuse.reset();    // stops the device's commands of the mount and unmounts
  m_parts->device.reset();  // waits for a command of its own still running; removes the cache
  ::rmdir(m_folder.c_str());
}

int FolderMount::EndedFd() const { return m_parts->fuse->EndedFd(); }

#else

struct FolderMount::Parts {};

bool FolderMount::Available() { return false; }

FolderMount::FolderMount(DeviceWorker&, bool, const std::string& folder, Logger, Reconnect, std::function<void()>)
    : m_folder(folder) {
  CannotMount("This build cannot mount (it was made without libfuse 3).");
}

FolderMount::~FolderMount() = default;

int FolderMount::EndedFd() const { return -1; }

#endif

std::string FolderMount::MakeMountFolder(const std::string& name) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == '\0')
    CannotMount(
        "Cannot open the device in the file manager: XDG_RUNTIME_DIR is not set, so there is no private folder "
        "of yours to mount it in. Log in to the desktop session (which sets it), or mount the device from a "
        "terminal with corvane mount and a folder of your choice.");
  const std::string base = std::string(runtime) + "/corvane";
  OwnFolder(base);
  std::string first;
  for (int i = 1; i <= 9; ++i) {
    const std::string folder = base + "/" + name + (i > 1 ? "-" + std::to_string(i) : std::string());
    std::string why;
    try {
      OwnFolder(folder);
#ifdef CORVANE_GUI_HAS_MOUNT
      why = mount::MountPointProblem(folder);
#endif
    } catch (const DeviceError& e) {
      why = e.what();
    }
    if (why.empty()) return folder;
    if (first.empty()) first = why;
  }
  CannotMount(first);
}

}  // namespace corvane
