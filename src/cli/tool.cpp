// The tool's commands.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "cli/cli_text.h"
#include "cli/multi_device.h"
#include "cli/terminal_host.h"
#include "cli/tree_commands.h"
#include "desktop/local_files.h"
#include "link/link_error.h"
#include "link/port_watch.h"
#include "link/serial_port.h"
#include "protocol/listing.h"
#include "session/device_session.h"
#include "session/device_worker.h"
#ifdef CORVANE_CLI_HAS_UPGRADE
#include "upgrade/upgrade_system.h"
#endif
#ifdef CORVANE_CLI_HAS_QTGUI
#include <QImage>
#endif
#ifdef CORVANE_CLI_HAS_MOUNT
#include "mount/mount_command.h"
#endif

#include "cli/tool.h"

namespace corvane::cli {
namespace {

namespace fs = std::filesystem;

// A local file to be sent: it must be a regular file that can be read, or
// nothing goes to the device.
void CheckReadable(const std::string& local) {
  struct stat st {};
  if (::stat(local.c_str(), &st) != 0)
    throw DeviceError(ErrorKind::kLocalFile, "Cannot read " + local + ": " + std::strerror(errno) + ".",
                      "Check the path of the file.");
  if (!S_ISREG(st.st_mode))
    throw DeviceError(ErrorKind::kLocalFile, "Cannot read " + local + ": it is not a regular file.",
                      "Give the path of a file, not of a folder or device.");
  const int fd = ::open(local.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    throw DeviceError(ErrorKind::kLocalFile, "Cannot read " + local + ": " + std::strerror(errno) + ".",
                      "Check the file's permissions.");
  ::close(fd);
}

// A local file to be written: its folder must exist and take new files.
void CheckWritableTarget(const std::string& target) {
  const fs::path folder = fs::path(target).has_parent_path() ? fs::path(target).parent_path() : fs::path(".");
  std::error_code ec;
  if (!fs::is_directory(folder, ec))
    throw DeviceError(ErrorKind::kLocalFile, "Cannot write " + target + ": the folder " + folder.string() +
                                                 " does not exist.");
  if (::access(folder.c_str(), W_OK | X_OK) != 0)
    throw DeviceError(ErrorKind::kLocalFile, "Cannot write " + target + ": " + std::strerror(errno) + ".",
                      "Choose a folder you may write to.");
}

// "5 s", "0.5 s": a time-out as the user gave it.
std::string SecondsText(double seconds) {
  std::ostringstream out;
  out << seconds << " s";
  return out.str();
}

}  // namespace

Tool::Tool(const Options& o, ProgressMode mode, std::ostream& out, std::ostream& note)
    : m_opt(o), m_out(out), m_note(note), m_host(mode, o.verbose), m_worker(m_host, m_log) {
  m_host.assumeYes = o.yes;
  m_host.SetDeviceLabel(o.deviceLabel);
  DeviceSession& session = m_worker.Session();
  // --tcp ADDRESS[:PORT]; the device listens on 46601.
  m_host.address = o.tcp;
  if (const auto colon = o.tcp.rfind(':'); colon != std::string::npos) {
    m_host.address = o.tcp.substr(0, colon);
    try {
      const int port = std::stoi(o.tcp.substr(colon + 1));
      if (port <= 0 || port > 65535) throw std::out_of_range("port");
      session.Socket.Port = static_cast<uint16_t>(port);
    } catch (const std::exception&) {
      throw UsageError("'" + o.tcp + "' is not ADDRESS or ADDRESS:PORT");
    }
  }
  session.IsQuillon = o.kind == "quillon";
  // On the device thread.
  session.OnMessage = [this](DeviceSession&, const std::string& text) {
    if (m_opt.verbose) m_host.Message(text);
  };
  if (!o.port.empty()) AddExtraSerialPort(o.port);
  // Ctrl-C cancels, and the program ends after the transfer: no pause for
  // a next command.
  m_host.Attach(session.GetStatusDialog(), [this] { return m_worker.CancelBeforeExit(); });
}

int Tool::Ports() {
  std::istringstream in(ListSerialPorts());
  std::string line;
  while (std::getline(in, line)) m_out << TerminalText(line) << '\n';
  return 0;
}

int Tool::Info() {
  std::string link, version;
  bool tcp = false;
  Run([&](DeviceSession& s) {
    const ConnectionState state = Open(s);
    link = state.link;
    tcp = state.tcp;
    version = TerminalName(state.version);
  });
  m_out << "link: " << TerminalText(link) << '\n';
  m_out << "kind: " << (m_opt.kind == "quillon" ? "quillon" : "tallis") << '\n';
  if (!tcp) m_out << "version: " << version << '\n';
  return 0;
}

int Tool::Ls(const std::string& path, bool json) {
  const Bytes folder = UserDevicePath(path);
  std::vector<ListingEntry> list;
  Run([&](DeviceSession& s) {
    s.CheckFolderPath(folder);
    Open(s);
    list = s.ListFolder(folder);
  });
  if (json) {
    m_out << "[";
    for (size_t i = 0; i < list.size(); ++i) {
      m_out << (i ? "," : "") << "\n  {\"name\": " << JsonString(Latin1ToUtf8(list[i].name))
            << ", \"size\": " << list[i].size << ", \"kind\": \"" << KindWord(list[i].kind) << "\"}";
    }
    m_out << (list.empty() ? "]\n" : "\n]\n");
    return 0;
  }
  for (const auto& e : list)
    m_out << KindWord(e.kind) << '\t' << e.size << '\t' << TerminalName(e.name) << '\n';
  return 0;
}

int Tool::Get(const std::string& devicePath, const std::string& local) {
  const auto [folder, name] = SplitDevicePath(devicePath);
  std::string target = local.empty() ? SafeLocalName(name) : local;
  if (fs::is_directory(target)) target = JoinLocalPath(target, SafeLocalName(name));
  CheckWritableTarget(target);
  Run([&, folder = folder, name = name](DeviceSession& s) {
    CheckNames(s, folder, {name});
    Open(s);
    int64_t size = -1;
    for (const auto& e : s.ListFolder(folder))
      if (e.name == name) size = e.size;
    if (size < 0) {
      throw DeviceError(ErrorKind::kFailed, "'" + devicePath + "' is not on the device (see 'corvane ls " +
                                                DevicePath::Parse(folder).Shown() + "')");
    }
    // The listing has just made the folder current on the device.
    s.GetFile(name, target, size);
  });
  m_note << "Saved " << TerminalText(target) << '\n';
  return 0;
}

int Tool::Put(const std::string& local, const std::string& deviceFolder) {
  // Everything about the local file is checked before the device hears of it.
  CheckReadable(local);
  std::string name;
  if (!Utf8ToLatin1(fs::path(local).filename().string(), name))
    throw UsageError("the name of '" + local + "' cannot be written in the device's 8-bit names; rename it first");
  const Bytes folder = UserDevicePath(deviceFolder);
  Run([&](DeviceSession& s) {
    CheckNames(s, folder, {name});
    Open(s);
    s.ChangeDir(folder);
    s.PutFile(name, local);
  });
  return 0;
}

int Tool::Rm(const std::string& devicePath) {
  const auto [folder, name] = SplitDevicePath(devicePath);
  Run([&, folder = folder, name = name](DeviceSession& s) {
    CheckNames(s, folder, {name});
    Open(s);
    s.ChangeDir(folder);
    s.DeleteItem(name);
  });
  return 0;
}

int Tool::Mv(const std::string& devicePath, const std::string& newName) {
  const auto [folder, name] = SplitDevicePath(devicePath);
  std::string latin1;
  if (!Utf8ToLatin1(newName, latin1) || latin1.empty() || latin1.find_first_of("\\/") != std::string::npos)
    throw UsageError("'" + newName + "' is not a valid device name (8-bit characters, no slash)");
  Run([&, folder = folder, name = name](DeviceSession& s) {
    CheckNames(s, folder, {name, latin1});
    Open(s);
    s.ChangeDir(folder);
    s.RenameItem(name, latin1);
  });
  return 0;
}

int Tool::OpenEntry(const std::string& devicePath) {
  const auto [folder, name] = SplitDevicePath(devicePath);
  Run([&, folder = folder, name = name](DeviceSession& s) {
    CheckNames(s, folder, {name});
    Open(s);
    s.ChangeDir(folder);
    s.OpenItem(name);
  });
  return 0;
}

int Tool::Shot(const std::string& file) {
  const bool png = fs::path(file).extension() == ".png" || fs::path(file).extension() == ".PNG";
#ifndef CORVANE_CLI_HAS_QTGUI
  if (png) throw UsageError("This build cannot write PNG; give a .bmp file name");
#endif
  CheckWritableTarget(file);
  if (!png) {
    Run([&](DeviceSession& s) {
      Open(s);
      s.CaptureScreen(file);
    });
    m_note << "Saved " << TerminalText(file) << '\n';
    return 0;
  }
#ifdef CORVANE_CLI_HAS_QTGUI
  // The bitmap as received goes to a folder of this run's own in the
  // private folder, under the picture's name (the transfer reports it).
  std::string scratch = JoinLocalPath(PrivateTempFolder(), "shot-XXXXXX");
  if (::mkdtemp(scratch.data()) == nullptr)
    throw DeviceError(ErrorKind::kLocalFile, "Cannot make a folder in " + PrivateTempFolder(), Detail(errno));
  struct RemoveScratch {
    std::string path;
    ~RemoveScratch() {
      std::error_code ec;
      fs::remove_all(path, ec);
    }
  } removeScratch{scratch};
  const std::string bmp = JoinLocalPath(scratch, fs::path(file).stem().string() + ".bmp");
  Run([&](DeviceSession& s) {
    Open(s);
    s.CaptureScreen(bmp);
  });
  QImage image;
  if (!image.load(QString::fromStdString(bmp), "BMP"))
    throw DeviceError(ErrorKind::kFailed, "The device's picture is no bitmap that can be read");
  if (!image.save(QString::fromStdString(file), "PNG"))
    throw DeviceError(ErrorKind::kLocalFile, "Cannot write " + file + " as PNG");
#endif
  m_note << "Saved " << TerminalText(file) << '\n';
  return 0;
}

int Tool::Upgrade(const std::string& image) {
#ifdef CORVANE_CLI_HAS_UPGRADE
  CheckReadable(image);
  if (!m_opt.yes && !::isatty(0))
    throw UsageError("An upgrade must be confirmed: run it on a terminal, or give --yes");
  if (!m_host.MessageBox("You are about to upgrade your device ROM.\r\nAre you sure you want to do it?\r\nTo perform "
                         "the upgrade, you must have a rom upgrade file (*.bix)\r\nEnsure that your batteries are "
                         "fully charged or that AC power is connected",
                         "Message", SessionHost::Buttons::kYesNo))
    throw DeviceError(ErrorKind::kCancelled, "Cancelled.", "The upgrade was not started.");
  const int baud = !m_opt.baud.empty() ? ParseBaudRate(m_opt.baud) : 115200;
  const LinkTarget link = !m_opt.port.empty() ? LinkTarget::Named(m_opt.port, baud) : LinkTarget::Auto(baud);
  Run([&](DeviceSession& s) {
    s.IsQuillon = true;
    // A device in upgrade mode has a port but counts as not connected.
    if (s.Connect(link).link.empty()) NoDevice(s, link);
    UpgradeSystem(s, image);
  });
  return 0;
#else
  (void)image;
  throw UsageError("This build has no upgrade support");
#endif
}

int Tool::Mount(const std::string& mountPoint, uint64_t cacheMiB) {
#ifdef CORVANE_CLI_HAS_MOUNT
  if (const std::string why = mount::MountPointProblem(mountPoint); !why.empty())
    throw DeviceError(ErrorKind::kLocalFile, why);
  Run([&](DeviceSession& s) { Open(s); });
  mount::MountCommand command;
  command.mountPoint = mountPoint;
  command.quillon = m_opt.kind == "quillon";
  command.cacheBytes = cacheMiB << 20;
  command.reconnect = [this](DeviceSession& s) { Open(s); };
  return mount::RunMount(m_worker, command, m_out, [this](const std::string& line) {
    m_host.Message("corvane mount: " + TerminalText(OneLine(line)));
  });
#else
  (void)mountPoint;
  (void)cacheMiB;
  throw UsageError("This build has no mount support (it was built without libfuse 3)");
#endif
}

void Tool::WaitForDevice(double seconds) {
  using Steady = std::chrono::steady_clock;
  const auto deadline = Steady::now() + std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(seconds));
  PortWatch::Options watched;
  watched.folders = SerialPortFolders();
  // A port given by name is waited for in its own folder when that is
  // not one the system's watch covers already.
  if (!m_opt.port.empty()) {
    const std::string parent = fs::path(m_opt.port).parent_path().string();
    if (!parent.empty() && parent != "/dev" && parent != "/dev/serial/by-id") watched.folders.push_back(parent);
  }
  // Made before the first try, so that a port plugged in meanwhile is not missed.
  PortWatch watch(watched);
  bool told = false, toldBusy = false;
  std::string lastReason;
  std::vector<std::string> appeared;  // ports plugged in during the wait
  for (;;) {
    try {
      Run([this](DeviceSession& s) { Open(s); });
      return;
    } catch (const DeviceError& e) {
      if (e.Kind() != ErrorKind::kNoConnection) throw;
      lastReason = e.Detail();
    }
    if (!told) {
      m_host.Message("Waiting up to " + SecondsText(seconds) +
                     " for a device: plug in the cable and turn the device on.");
      told = true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
    if (left <= 0) {
      std::string detail = "Check the cable and that the device is on, then run the command again (or wait longer "
                           "with --wait=SECONDS).";
      if (!lastReason.empty()) detail = lastReason + "\n" + detail;
      throw DeviceError(ErrorKind::kNoConnection, "No device appeared within " + SecondsText(seconds), detail);
    }
    // A port that is there but cannot be opened yet (a modem manager
    // probing it, its permissions not set yet) is tried again each second:
    // the port asked for, or one plugged in during the wait. Other ports'
    // trouble is not waited out: only a port plugged in is worth a try.
    const std::string busyReason =
        m_opt.port.empty() ? LineNaming(lastReason, appeared)
                           : (PortExists() ? lastReason.substr(0, lastReason.find('\n')) : std::string());
    const bool busy = !busyReason.empty();
    if (busy && !toldBusy) {
      m_host.Message("A port cannot be opened yet; trying again: " + busyReason);
      toldBusy = true;
    }
    if (busy) {
      const auto changes = watch.WaitForChanges(static_cast<int>(std::min<int64_t>(left, 1000)));
      appeared.insert(appeared.end(), changes.added.begin(), changes.added.end());
      continue;
    }
    for (;;) {
      const auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
      if (rest <= 0) break;
      const auto changes = watch.WaitForChanges(static_cast<int>(rest));
      appeared.insert(appeared.end(), changes.added.begin(), changes.added.end());
      if (!changes.added.empty()) break;
    }
  }
}

DeviceRun Tool::Runner() {
  return [this](const std::function<void(DeviceSession&)>& op) {
    Run([&](DeviceSession& s) {
      Open(s);
      op(s);
    });
  };
}

void Tool::Run(const DeviceWorker::Operation& op) {
  if (m_host.InterruptedBeforeStart()) throw DeviceError(ErrorKind::kCancelled, "Cancelled.", "It was cancelled before it started.");
  m_host.BeginOperation();
  try {
    m_worker.Call(op);
  } catch (...) {
    m_host.EndOperation();
    throw;
  }
  m_host.EndOperation();
}

bool Tool::PortExists() const {
  struct stat st {};
  return ::stat(m_opt.port.c_str(), &st) == 0;
}

std::string Tool::LineNaming(const std::string& text, const std::vector<std::string>& ports) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    for (const auto& p : ports)
      if (line.find(p) != std::string::npos) return line;
  return {};
}

void Tool::CheckNames(const DeviceSession& s, const Bytes& folder, std::initializer_list<Bytes> names) {
  s.CheckFolderPath(folder);
  for (const Bytes& name : names) s.CheckEntryName(name);
}

ConnectionState Tool::Open(DeviceSession& s) {
  const int baud = !m_opt.baud.empty() ? ParseBaudRate(m_opt.baud) : (s.IsQuillon ? 115200 : 9600);
  const LinkTarget link = !m_opt.tcp.empty()    ? LinkTarget::Tcp()
                          : !m_opt.port.empty() ? LinkTarget::Named(m_opt.port, baud)
                                                : LinkTarget::Auto(baud);
  const ConnectionState state = s.Connect(link);
  if (state.link.empty()) NoDevice(s, link);
  s.CheckConnected();
  return state;
}

void Tool::NoDevice(DeviceSession& s, const LinkTarget& link) {
  if (link.kind == LinkTarget::Kind::kAuto) throw DeviceError(ErrorKind::kNoConnection, kNoDeviceDetectedText, s.DetectionTrouble);
  s.CheckConnected();
  ConnectionError();
}

}  // namespace corvane::cli
