// corvane: the kit's command-line tool.
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

namespace corvane::cli {
namespace {

namespace fs = std::filesystem;

struct Options {
  std::string port;
  std::string tcp;
  std::string kind = "tallis";
  std::string baud;
  std::string progress;
  bool verbose = false;
  bool yes = false;
  std::string deviceLabel;  // one of several devices: its port, before each progress line
};

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

class Tool {
 public:
  // What the command prints goes to `out`, its closing note ("Saved FILE") to `note`.
  Tool(const Options& o, ProgressMode mode, std::ostream& out = std::cout, std::ostream& note = std::cerr)
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
  // The watcher goes before the worker and its session.
  ~Tool() { m_host.Detach(); }
  Tool(const Tool&) = delete;
  Tool& operator=(const Tool&) = delete;

  int Ports() {
    std::istringstream in(ListSerialPorts());
    std::string line;
    while (std::getline(in, line)) m_out << TerminalText(line) << '\n';
    return 0;
  }

  int Info() {
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

  int Ls(const std::string& path, bool json) {
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

  int Get(const std::string& devicePath, const std::string& local) {
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

  int Put(const std::string& local, const std::string& deviceFolder) {
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

  int Rm(const std::string& devicePath) {
    const auto [folder, name] = SplitDevicePath(devicePath);
    Run([&, folder = folder, name = name](DeviceSession& s) {
      CheckNames(s, folder, {name});
      Open(s);
      s.ChangeDir(folder);
      s.DeleteItem(name);
    });
    return 0;
  }

  int Mv(const std::string& devicePath, const std::string& newName) {
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

  int OpenEntry(const std::string& devicePath) {
    const auto [folder, name] = SplitDevicePath(devicePath);
    Run([&, folder = folder, name = name](DeviceSession& s) {
      CheckNames(s, folder, {name});
      Open(s);
      s.ChangeDir(folder);
      s.OpenItem(name);
    });
    return 0;
  }

  int Shot(const std::string& file) {
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

  int Upgrade(const std::string& image) {
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

  // --wait: returns once a device answers as the options say, waiting up to
  // `seconds` for one to be plugged in (the port watch tells when a port
  // appears); raises the no-connection error when none came in time.
  void WaitForDevice(double seconds) {
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

  TerminalHost& Host() { return m_host; }
  std::ostream& Note() { return m_note; }
  // Connects and runs an operation of the folder and backup commands.
  DeviceRun Runner() {
    return [this](const std::function<void(DeviceSession&)>& op) {
      Run([&](DeviceSession& s) {
        Open(s);
        op(s);
      });
    };
  }

 private:
  // Runs one operation on the device worker, with Ctrl-C as its Cancel.
  void Run(const DeviceWorker::Operation& op) {
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

  bool PortExists() const {
    struct stat st {};
    return ::stat(m_opt.port.c_str(), &st) == 0;
  }
  // The first line of `text` that names one of `ports`, or nothing.
  static std::string LineNaming(const std::string& text, const std::vector<std::string>& ports) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
      for (const auto& p : ports)
        if (line.find(p) != std::string::npos) return line;
    return {};
  }

  // Names the device could not take are refused before anything is sent,
  // the connection's own bytes included.
  static void CheckNames(const DeviceSession& s, const Bytes& folder, std::initializer_list<Bytes> names) {
    s.CheckFolderPath(folder);
    for (const Bytes& name : names) s.CheckEntryName(name);
  }

  // On the device thread: connects as the options say, or raises why not.
  ConnectionState Open(DeviceSession& s) {
    const int baud = !m_opt.baud.empty() ? ParseBaudRate(m_opt.baud) : (s.IsQuillon ? 115200 : 9600);
    const LinkTarget link = !m_opt.tcp.empty()    ? LinkTarget::Tcp()
                            : !m_opt.port.empty() ? LinkTarget::Named(m_opt.port, baud)
                                                  : LinkTarget::Auto(baud);
    const ConnectionState state = s.Connect(link);
    if (state.link.empty()) NoDevice(s, link);
    s.CheckConnected();
    return state;
  }

  // Connecting by `link` left no port: after detection, its message and why
  // ports could not be opened; otherwise why the session is not connected.
  [[noreturn]] static void NoDevice(DeviceSession& s, const LinkTarget& link) {
    if (link.kind == LinkTarget::Kind::kAuto) throw DeviceError(ErrorKind::kNoConnection, kNoDeviceDetectedText, s.DetectionTrouble);
    s.CheckConnected();
    ConnectionError();
  }

  Options m_opt;
  std::ostream& m_out;
  std::ostream& m_note;
  LogModel m_log;
  TerminalHost m_host;
  DeviceWorker m_worker;
};

// The closing line(s) of a failure on stderr.
// A cancel says what was kept, by command; what else it has to say is in its
// detail (its message is the text the log and the transfer dialog show).
void ReportFailure(const DeviceError& e, const std::string& command) {
  if (e.Kind() == ErrorKind::kCancelled) {
    const bool transfer = command == "get" || command == "shot";
    const bool tree = command == "get -r" || command == "backup";
    std::cerr << (transfer ? "Cancelled; nothing was kept."
                  : tree   ? "Cancelled; the files that arrived whole are kept (a backup run again goes on from there)."
                           : "Cancelled.")
              << '\n';
  } else {
    std::cerr << "corvane: " << TerminalText(OneLine(e.what())) << '\n';
  }
  // The system's reason and what to do, one line each.
  std::istringstream detail(e.Detail());
  std::string line;
  while (std::getline(detail, line))
    if (!line.empty()) std::cerr << "  " << TerminalText(OneLine(line)) << '\n';
}

// A check of an option's value: refuses the empty text, asking for `wanted`.
CLI::Validator NotEmpty(const std::string& wanted) {
  return CLI::Validator(
      [wanted](std::string& value) { return value.empty() ? "it is empty: give " + wanted : std::string(); }, "");
}

// The word the user gave where a command belongs, when a parse failed for
// want of a known one; empty otherwise.
std::string UnknownCommand(const CLI::App& app) {
  if (!app.get_subcommands().empty()) return {};
  for (const std::string& word : app.remaining())
    if (!word.empty() && word[0] != '-') return word;
  return {};
}

// The commands, in the order --help lists them: "ports, info, ls, ...".
std::string CommandNames(const CLI::App& app) {
  std::string names;
  for (const CLI::App* sub : app.get_subcommands({})) names += (names.empty() ? "" : ", ") + sub->get_name();
  return names;
}

}  // namespace
}  // namespace corvane::cli

int main(int argc, char** argv) {
  using namespace corvane::cli;
  namespace fs = std::filesystem;
  Options opt;
  CLI::App app{"corvane: browse and copy the files of a Corvane Tallis or Quillon over a serial cable or TCP/IP"};
  app.set_version_flag("--version", std::string("corvane ") + CORVANE_VERSION);
  app.require_subcommand(1);
  std::vector<std::string> portList;
  bool all = false, jsonReport = false;
  auto* portOpt = app.add_option("--port", portList,
                                 "Serial port path (default: detect the device on every port); repeat it to run the "
                                 "command on several devices at once")
                      ->allow_extra_args(false)
                      ->check(NotEmpty("a port path such as /dev/ttyUSB0; leave out --port to detect the device"));
  auto* allOpt = app.add_flag("--all", all, "Run the command on every device \"Auto\" detection finds, all at once");
  app.add_flag("--json", jsonReport,
               "One JSON object per device on stdout: port, kind, status, exit_code, message, detail, result");
  app.add_option("--tcp", opt.tcp, "IPv4 address of a Quillon on the network, optionally :PORT (default port 46601)")
      ->check(NotEmpty("an IPv4 address such as 192.168.0.2, optionally :PORT"))
      ->excludes(portOpt)
      ->excludes(allOpt);
  auto* kindOpt = app.add_option("--kind", opt.kind, "Device kind (with --tcp: the Quillon, the only kind on TCP/IP)")
                     ->check(CLI::IsMember({"tallis", "quillon"}));
  app.add_option("--baud", opt.baud, "Baud rate (default: 9600 for the Tallis, 115200 for the Quillon)")
      ->check(CLI::IsMember({"9600", "19200", "115200"}));
  std::vector<std::string> portDirs;
  app.add_option("--port-dir", portDirs,
                 "Also offer the serial devices in DIR, and links to them, as ports (for detection, 'ports' and "
                 "--wait); repeatable")
      ->type_name("DIR")
      ->allow_extra_args(false);
  std::string waitText;
  auto* waitOpt = app.add_option("--wait", waitText,
                                 "Wait up to SECONDS (default 60) for the device to be plugged in and answer, then run "
                                 "the command; exit 3 if none came")
                      ->type_name("[=SECONDS]")
                      ->expected(0, 1)
                      ->excludes(allOpt);
  app.add_flag("--verbose,-v", opt.verbose, "Print every session message");
  app.add_option("--progress", opt.progress,
                 "How transfers report on stderr: bar, lines (one line per report), json (one JSON object per "
                 "report: kind, phase, done, total, elapsed_ms, text) or none (default: bar on a terminal, else lines; "
                 "none with several devices)")
      ->check(CLI::IsMember({"bar", "lines", "json", "none"}));
  app.footer(std::string(ExitCodeTable()) + "\n" + SeveralDevicesHelp());

  std::string path = "\\", local, folder = "\\", newName, file;
  bool json = false, recursive = false;
  auto* ports = app.add_subcommand("ports", "List the serial ports");
  auto* info = app.add_subcommand("info", "Connect and print the device's version");
  auto* ls = app.add_subcommand("ls", "List a device folder (one entry a line: kind, size in bytes, name)");
  ls->add_option("DEVICE_PATH", path, "Folder on the device, with \\ or /");
  ls->add_flag("--json", json, "Print a JSON array of {name, size, kind}");
  auto* get = app.add_subcommand("get", "Copy a device file to this computer");
  get->add_option("DEVICE_PATH", path, "File on the device")->required();
  get->add_option("LOCAL", local, "Local file or folder (default: the device name, made safe, here)");
  get->add_flag("--recursive,-r", recursive, "Copy a device folder and everything below it, keeping the tree");
  auto* put = app.add_subcommand("put", "Copy a local file or folder to the device (a folder needs device folders of the same names)");
  put->add_option("LOCAL", local, "Local file or folder")->required();
  put->add_option("DEVICE_FOLDER", folder, "Device folder (default: the root)");
  auto* rm = app.add_subcommand("rm", "Delete a device entry");
  rm->add_option("DEVICE_PATH", path, "Entry on the device")->required();
  auto* mv = app.add_subcommand("mv", "Rename a device entry");
  mv->add_option("DEVICE_PATH", path, "Entry on the device")->required();
  mv->add_option("NEW_NAME", newName, "New name")->required();
  auto* open = app.add_subcommand("open", "Ask the device to open an entry");
  open->add_option("DEVICE_PATH", path, "Entry on the device")->required();
  auto* shot = app.add_subcommand("shot", "Capture the device's screen (.bmp as received, .png converted)");
  shot->add_option("FILE", file, "Picture file to write")->required();
  auto* upgrade = app.add_subcommand("upgrade", "Replace the Quillon's system software from a .bix file");
  upgrade->add_option("FILE", file, "ROM upgrade file (*.bix)")->required();
  upgrade->add_flag("--yes,-y", opt.yes, "Do not ask for confirmation");
  auto* backup = app.add_subcommand("backup", "Mirror the whole device into a local folder (again: only what changed)");
  backup->add_option("DEST", local, "Local folder (made if missing); holds manifest.json")->required();
  auto* restore = app.add_subcommand("restore", "Put the files of a backup back into the device folders that exist");
  restore->add_option("DEST", local, "Folder written by 'corvane backup'")->required();
  restore->add_option("DEVICE_FOLDER", folder, "Only the files below this device folder (default: all)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (const std::string unknown = UnknownCommand(app); !unknown.empty()) {
      std::cerr << "corvane: '" << TerminalText(unknown) << "' is not a command. The commands are: "
                << CommandNames(app) << ". See corvane --help\n";
      return ExitCode(corvane::ErrorKind::kUsage);
    }
    if (app.get_subcommands().empty() && dynamic_cast<const CLI::RequiredError*>(&e) != nullptr) {
      std::cerr << "corvane: give a command: " << CommandNames(app) << ". See corvane --help\n";
      return ExitCode(corvane::ErrorKind::kUsage);
    }
    // --help and --version end here too, successfully.
    return app.exit(e) == 0 ? 0 : ExitCode(corvane::ErrorKind::kUsage);
  }
  if (portList.size() == 1) opt.port = portList.front();
  for (const auto& dir : portDirs) corvane::AddSerialPortFolder(dir);
  double waitSeconds = 0;
  if (waitOpt->count() > 0) {
    waitSeconds = 60;
    if (!waitText.empty()) {
      char* end = nullptr;
      waitSeconds = std::strtod(waitText.c_str(), &end);
      if (end == waitText.c_str() || *end != '\0' || !std::isfinite(waitSeconds) || waitSeconds <= 0 ||
          waitSeconds > 86400) {
        std::cerr << "corvane: --wait=" << corvane::cli::TerminalText(waitText)
                  << ": give the longest wait in seconds, a number above 0 (at most 86400), as in --wait=30\n";
        return ExitCode(corvane::ErrorKind::kUsage);
      }
    }
    if (portList.size() > 1 || !opt.tcp.empty() || jsonReport) {
      std::cerr << "corvane: --wait waits for one device on a serial port: leave it out with --tcp, --json or "
                   "several --port\n";
      return ExitCode(corvane::ErrorKind::kUsage);
    }
  }
  const bool several = (all || portList.size() > 1 || jsonReport) && !*ports;
  ProgressMode mode = opt.progress.empty() ? (::isatty(2) ? ProgressMode::kBar : ProgressMode::kLines)
                                           : *ParseProgressMode(opt.progress);
  if (several) mode = opt.progress.empty() ? ProgressMode::kNone : mode;
  std::string command;
  for (const auto* sub : app.get_subcommands()) command = sub->get_name();
  if (command == "get" && recursive) command = "get -r";
  TerminalHost::InstallInterruptHandler();
  // The command, on the device `tool` talks to; with several devices, get
  // and shot write under per-device folders (localArg, fileArg).
  const auto runCommand = [&](Tool& tool, const std::string& localArg, const std::string& fileArg, bool jsonList) {
    if (*ports) return tool.Ports();
    if (*info) return tool.Info();
    if (*ls) return tool.Ls(path, jsonList);
    if (*get) return recursive ? GetTree(tool.Runner(), tool.Note(), path, localArg) : tool.Get(path, localArg);
    if (*put) return fs::is_directory(local) ? PutTree(tool.Runner(), tool.Note(), local, folder) : tool.Put(local, folder);
    if (*backup) return Backup(tool.Runner(), tool.Note(), local);
    if (*restore) return Restore(tool.Runner(), tool.Note(), local, folder);
    if (*rm) return tool.Rm(path);
    if (*mv) return tool.Mv(path, newName);
    if (*open) return tool.OpenEntry(path);
    if (*shot) return tool.Shot(fileArg);
    if (*upgrade) return tool.Upgrade(fileArg);
    return 0;
  };
  try {
    // TCP/IP is the Quillon's link alone: the Tallis protocol spoken to it
    // would read its answers as garbage.
    if (!opt.tcp.empty()) {
      if (kindOpt->count() > 0 && opt.kind != "quillon")
        throw UsageError("--tcp connects to a Quillon, and the Tallis has no TCP/IP link: leave out --kind " +
                         opt.kind + ", or connect the Tallis with --port");
      opt.kind = "quillon";
    }
    if (several) {
      CheckSeveralDevicesCommand(command, mode, local);
      for (const auto& p : portList) corvane::AddExtraSerialPort(p);
      const std::vector<std::string> devices = all ? FindAllDevices(opt.kind == "quillon", opt.baud) : portList;
      return RunOnSeveralDevices(devices, {jsonReport, opt.kind}, [&](const DeviceJob& job) {
        Options one = opt;
        one.port = one.deviceLabel = job.port;
        Tool tool(one, mode, job.out, job.note);
        const std::string localArg = *get ? job.LocalFolder(local) : local;
        std::string fileArg = file;
        if (*shot)
          fileArg = corvane::JoinLocalPath(job.LocalFolder(fs::path(file).parent_path().string()),
                                           fs::path(file).filename().string());
        return runCommand(tool, localArg, fileArg, json || jsonReport);
      });
    }
    Tool tool(opt, mode);
    if (waitOpt->count() > 0) tool.WaitForDevice(waitSeconds);
    return runCommand(tool, local, file, json);
  } catch (const corvane::DeviceError& e) {
    ReportFailure(e, command);
    return e.Kind() == corvane::ErrorKind::kCancelled ? TerminalHost::CancelledExitCode() : ExitCode(e.Kind());
  } catch (const std::exception& e) {
    std::cerr << "corvane: " << TerminalText(OneLine(e.what())) << '\n';
    return ExitCode(corvane::ErrorKind::kFailed);
  }
  return 0;
}
