#include "link/port_watch.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "link/cancel_signal.h"
#include "link/link_error.h"
#include "link/serial_port.h"

#ifdef CORVANE_HAVE_LIBUDEV
#include <libudev.h>
#endif

namespace corvane {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF |
                                   IN_MOVE_SELF | IN_ONLYDIR;

// The names in /dev that may be serial ports, or lead to their links.
bool MayBeSerialName(const char* name) {
  return std::strncmp(name, "tty", 3) == 0 || std::strncmp(name, "rfcomm", 6) == 0 || std::strcmp(name, "serial") == 0;
}

// The nearest folder at or above `path` that exists (the root at worst).
std::string ExistingAncestor(const std::string& path) {
  fs::path p(path);
  std::error_code ec;
  while (p.has_relative_path() && !fs::is_directory(p, ec)) p = p.parent_path();
  return p.empty() ? std::string(".") : p.string();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty()) out.push_back(line);
  return out;
}

}  // namespace

PortWatch::PortWatch(Options options) : m_options(std::move(options)) {
  m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
  if (m_epoll < 0) ConnectionError(std::string("Cannot watch the serial ports: ") + std::strerror(errno));
  m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (m_inotify < 0) {
    const int err = errno;
    ::close(m_epoll);
    ConnectionError(std::string("Cannot watch the serial ports: ") + std::strerror(err) +
                    " (raise fs.inotify.max_user_instances if the limit is reached)");
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = m_inotify;
  ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_inotify, &ev);

#ifdef CORVANE_HAVE_LIBUDEV
  // udev announces a device once its rules have run (its links made, its
  // permissions set): better than the bare device node. Only when udev runs.
  if (m_options.systemPorts && m_options.useUdev && ::access("/run/udev/control", F_OK) == 0) {
    udev* context = udev_new();
    udev_monitor* monitor = context != nullptr ? udev_monitor_new_from_netlink(context, "udev") : nullptr;
    if (monitor != nullptr && udev_monitor_filter_add_match_subsystem_devtype(monitor, "tty", nullptr) >= 0 &&
        udev_monitor_enable_receiving(monitor) >= 0) {
      epoll_event uev{};
      uev.events = EPOLLIN;
      uev.data.fd = udev_monitor_get_fd(monitor);
      if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, uev.data.fd, &uev) == 0) {
        m_udev = monitor;
        m_udevContext = context;
        monitor = nullptr;
        context = nullptr;
      }
    }
    if (monitor != nullptr) udev_monitor_unref(monitor);
    if (context != nullptr) udev_unref(context);
  }
#endif
  if (m_options.systemPorts && m_udev == nullptr) {
    m_watchDev = true;
    m_paths.push_back("/dev/serial/by-id");
  }
  for (const auto& f : m_options.folders) m_paths.push_back(f);
  ArmFolders();
  m_ports = ListNow();
}

PortWatch::~PortWatch() {
#ifdef CORVANE_HAVE_LIBUDEV
  if (m_udev != nullptr) udev_monitor_unref(static_cast<udev_monitor*>(m_udev));
  if (m_udevContext != nullptr) udev_unref(static_cast<udev*>(m_udevContext));
#endif
  if (m_inotify >= 0) ::close(m_inotify);
  if (m_epoll >= 0) ::close(m_epoll);
}

void PortWatch::ArmFolders() {
  // Adding a watch that exists only returns its descriptor again, so this
  // runs after every batch of events: a folder that has appeared since is
  // watched itself from then on, one that vanished through its parent.
  if (m_watchDev) m_devWatch = ::inotify_add_watch(m_inotify, "/dev", kFolderEvents);
  for (const auto& path : m_paths) {
    if (::inotify_add_watch(m_inotify, path.c_str(), kFolderEvents) >= 0) continue;
    ::inotify_add_watch(m_inotify, ExistingAncestor(path).c_str(), kFolderEvents);
  }
}

bool PortWatch::DrainInotify() {
  bool relevant = false;
  alignas(inotify_event) char buf[16 * 1024];
  for (;;) {
    const ssize_t n = ::read(m_inotify, buf, sizeof buf);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      break;  // EAGAIN: nothing more waiting
    }
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      // /dev changes all the time (disks, sound, input): only its tty nodes
      // and the serial folder count. A folder the caller gave counts whole.
      const bool devNoise = e->wd == m_devWatch && e->len > 0 && !MayBeSerialName(e->name) &&
                            std::find(m_options.folders.begin(), m_options.folders.end(), "/dev") ==
                                m_options.folders.end();
      if (!devNoise) relevant = true;
    }
  }
  return relevant;
}

bool PortWatch::DrainUdev() {
  bool any = false;
#ifdef CORVANE_HAVE_LIBUDEV
  if (m_udev == nullptr) return false;
  while (udev_device* d = udev_monitor_receive_device(static_cast<udev_monitor*>(m_udev))) {
    any = true;
    udev_device_unref(d);
  }
#endif
  return any;
}

std::vector<std::string> PortWatch::ListNow() const {
  std::vector<std::string> ports;
  if (m_options.systemPorts) {
    // The list holds the ports named on the command line whether they exist
    // or not: here one counts from the moment its device is there.
    for (auto& p : Lines(ListSerialPorts())) {
      struct stat st {};
      if (::stat(p.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) ports.push_back(std::move(p));
    }
  }
  for (const auto& folder : m_options.folders)
    for (auto& p : ListPortsInFolder(folder)) ports.push_back(std::move(p));
  std::sort(ports.begin(), ports.end());
  ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
  return ports;
}

PortWatch::Changes PortWatch::TakeChanges() {
  const bool folders = DrainInotify();
  const bool udev = DrainUdev();
  Changes changes;
  if (!folders && !udev) return changes;
  ArmFolders();
  std::vector<std::string> now = ListNow();
  std::set_difference(now.begin(), now.end(), m_ports.begin(), m_ports.end(), std::back_inserter(changes.added));
  std::set_difference(m_ports.begin(), m_ports.end(), now.begin(), now.end(), std::back_inserter(changes.removed));
  m_ports = std::move(now);
  return changes;
}

PortWatch::Changes PortWatch::WaitForChanges(int timeoutMs, const CancelSignal* cancel) {
  using Steady = std::chrono::steady_clock;
  const auto deadline = Steady::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
  for (;;) {
    Changes changes = TakeChanges();
    if (!changes.Empty()) return changes;
    if (cancel != nullptr && cancel->Raised()) return changes;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
    if (left <= 0) return changes;
    if (PollWithCancel(m_epoll, POLLIN, cancel, static_cast<int>(left)) < 0 && errno != EINTR) return changes;
  }
}

}  // namespace corvane
