#include "mount/mount_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <ostream>

#include "desktop/local_files.h"
#include "link/link_error.h"
#include "mount/fuse_mount.h"
#include "session/device_worker.h"

namespace corvane::mount {
namespace {

int g_signalPipe[2] = {-1, -1};

void OnEndSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
  errno = saved;
}

void InstallEndSignals() {
  if (g_signalPipe[0] < 0 && ::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
    throw DeviceError(ErrorKind::kFailed, std::string("Cannot watch for signals: ") + std::strerror(errno));
  struct sigaction sa {};
  sa.sa_handler = OnEndSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);
}

}  // namespace

std::string MakeCacheFolder(const std::string& privateFolder) {
  namespace fs = std::filesystem;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(privateFolder, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("mount-", 0) != 0 || e.is_symlink(ec) || !e.is_directory(ec)) continue;
    const pid_t pid = static_cast<pid_t>(std::atoi(name.c_str() + 6));
    if (pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM)) continue;  // its mount still runs
    fs::remove_all(e.path(), ec);
  }
  std::string pattern = JoinLocalPath(privateFolder, "mount-" + std::to_string(::getpid()) + "-XXXXXX");
  if (::mkdtemp(pattern.data()) == nullptr)
    throw DeviceError(ErrorKind::kLocalFile, "Cannot make the mount's cache folder in " + privateFolder + ": " +
                                                 std::strerror(errno) + ".");
  return pattern;
}

int RunMount(DeviceWorker& worker, const MountCommand& given, std::ostream& out,
             const std::function<void(const std::string&)>& log) {
  MountCommand command = given;
  // Said as a path that works from any folder.
  std::error_code ec;
  if (const auto absolute = std::filesystem::absolute(command.mountPoint, ec); !ec)
    command.mountPoint = absolute.lexically_normal().string();
  while (command.mountPoint.size() > 1 && command.mountPoint.back() == '/') command.mountPoint.pop_back();
  if (const std::string why = MountPointProblem(command.mountPoint); !why.empty())
    throw DeviceError(ErrorKind::kLocalFile, why);
  std::string cacheFolder;
  try {
    cacheFolder = MakeCacheFolder(PrivateTempFolder());
  } catch (const std::runtime_error& e) {
    if (const auto* d = dynamic_cast<const DeviceError*>(&e)) throw *d;
    throw DeviceError(ErrorKind::kLocalFile, e.what());
  }
  MountOptions options;
  options.cacheFolder = cacheFolder;
  options.cacheBytes = command.cacheBytes;
  InstallEndSignals();
  MountedDevice device(worker, command.quillon, options, log, command.reconnect);
  std::atomic<bool> gone{false};
  int goneFd[2] = {-1, -1};
  if (::pipe2(goneFd, O_CLOEXEC | O_NONBLOCK) != 0)
    throw DeviceError(ErrorKind::kFailed, std::string("Cannot make a pipe: ") + std::strerror(errno));
  device.SetOnDeviceGone([&] {
    gone.store(true);
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(goneFd[1], &byte, 1);
  });
  int status = 0;
  {
    FuseMount fuse(device, command.mountPoint);
    try {
      fuse.Start();
    } catch (...) {
      ::close(goneFd[0]);
      ::close(goneFd[1]);
      throw;
    }
    out << "Mounted the device at " << command.mountPoint << "\n"
        << "To unmount: fusermount3 -u " << command.mountPoint << " (or Ctrl-C here)" << std::endl;
    for (;;) {
      pollfd fds[3] = {{g_signalPipe[0], POLLIN, 0}, {fuse.EndedFd(), POLLIN, 0}, {goneFd[0], POLLIN, 0}};
      if (::poll(fds, 3, -1) < 0 && errno == EINTR) continue;
      if (fds[0].revents != 0) {
        char drain[16];
        while (::read(g_signalPipe[0], drain, sizeof drain) > 0) {
        }
        log("Unmounting " + command.mountPoint);
        break;
      }
      if (fds[1].revents != 0 || fds[2].revents != 0) break;
    }
    // A transfer still running is cancelled without its pauses.
    worker.ProgramEnding();
    fuse.Unmount();
    if (gone.load()) status = 3;
  }
  ::close(goneFd[0]);
  ::close(goneFd[1]);
  out << "Unmounted " << command.mountPoint << std::endl;
  return status;
}

}  // namespace corvane::mount
