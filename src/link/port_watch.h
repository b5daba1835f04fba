#pragma once
// Serial ports that appear and disappear while a program runs: a cable
// plugged in or pulled out, a pseudo-terminal linked into a watched folder.
//
// The watch has no thread and never polls on a timer. Where udev runs it
// listens to udev's announcements of tty devices; otherwise it watches /dev
// (tty device nodes) and /dev/serial/by-id (links; the folder itself may come
// and go) with inotify. Folders given by the caller (a test's folder of links
// to pseudo-terminals) are watched with inotify in either case; a folder that
// does not exist yet is waited for through its nearest existing parent.
//
// Nothing is opened to list or watch the ports: a folder's entries are
// listed with stat only (character devices, and links to them).
//
// Fd() becomes readable when something may have changed; call TakeChanges()
// then (a GUI puts the descriptor in a socket notifier), or wait with
// WaitForChanges(). One thread uses a watch at a time.
#include <string>
#include <vector>

namespace corvane {

class CancelSignal;

class PortWatch {
 public:
  struct Options {
    // Folders whose serial devices and links to them are ports.
    std::vector<std::string> folders;
    // The system's serial ports (ListSerialPorts) as well as the folders'.
    bool systemPorts = true;
    // Listen to udev when it runs (else inotify on /dev).
    bool useUdev = true;
  };
  struct Changes {
    std::vector<std::string> added;
    std::vector<std::string> removed;
    bool Empty() const { return added.empty() && removed.empty(); }
  };
  enum class Source { kUdev, kInotify };

  // Raises the connection error (a DeviceError) with the system's reason
  // when no watch can be set up at all.
  explicit PortWatch(Options options);
  ~PortWatch();
  PortWatch(const PortWatch&) = delete;
  PortWatch& operator=(const PortWatch&) = delete;

  // Readable while changes may be waiting.
  int Fd() const { return m_epoll; }
  // Reads what the system announced and lists the ports again when it may
  // concern them; never blocks. The changes since the last call.
  Changes TakeChanges();
  // Waits up to `timeoutMs` for a port to appear or vanish, or until
  // `cancel` is raised; empty changes when none came in time.
  Changes WaitForChanges(int timeoutMs, const CancelSignal* cancel = nullptr);
  // The ports as of the last TakeChanges (or the construction), sorted.
  const std::vector<std::string>& Ports() const { return m_ports; }
  // How the system's ports are watched.
  Source WatchedBy() const { return m_udev != nullptr ? Source::kUdev : Source::kInotify; }

 private:
  std::vector<std::string> ListNow() const;
  void ArmFolders();
  bool DrainInotify();
  bool DrainUdev();

  Options m_options;
  std::vector<std::string> m_paths;  // folders watched by inotify
  bool m_watchDev = false;           // /dev itself is watched for tty nodes
  int m_devWatch = -1;               // its watch descriptor
  int m_inotify = -1;
  int m_epoll = -1;
  void* m_udev = nullptr;            // struct udev_monitor*
  void* m_udevContext = nullptr;     // struct udev*
  std::vector<std::string> m_ports;
};

}  // namespace corvane
