// corvane: the kit's command-line tool.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "cli/cli_text.h"
#include "cli/terminal_host.h"
#include "desktop/local_files.h"
#include "link/link_error.h"
#include "link/serial_port.h"
#include "protocol/listing.h"
#include "session/device_session.h"
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
  bool verbose = false;
  bool yes = false;
};

class Tool {
 public:
  explicit Tool(const Options& o) : m_opt(o), m_host(m_log, o.verbose), m_session(m_host, m_log) {
    m_host.assumeYes = o.yes;
    // --tcp ADDRESS[:PORT]; the device listens on 46601.
    m_host.address = o.tcp;
    if (const auto colon = o.tcp.rfind(':'); colon != std::string::npos) {
      m_host.address = o.tcp.substr(0, colon);
      try {
        const int port = std::stoi(o.tcp.substr(colon + 1));
        if (port <= 0 || port > 65535) throw std::out_of_range("port");
        m_session.Socket.Port = static_cast<uint16_t>(port);
      } catch (const std::exception&) {
        throw UsageError("'" + o.tcp + "' is not ADDRESS or ADDRESS:PORT");
      }
    }
    m_session.IsQuillon = o.kind == "quillon";
    m_session.OnMessage = [this](DeviceSession&, const std::string& text) {
      m_lastMessage = text;
      if (m_opt.verbose) m_host.Message(text);
    };
    if (!o.port.empty()) AddExtraSerialPort(o.port);
  }

  void Open() {
    m_session.BaudRate = !m_opt.baud.empty() ? m_opt.baud : (m_session.IsQuillon ? "115200" : "9600");
    const std::string link = !m_opt.tcp.empty() ? "TCP/IP" : !m_opt.port.empty() ? m_opt.port : "Auto";
    try {
      m_session.Connect(link);
    } catch (const std::exception&) {
      // The session logged the system's reason just before its own message.
      if (!m_lastMessage.empty() && !m_opt.verbose) m_host.Message(m_lastMessage);
      throw;
    }
    if (!m_session.IsConnected() && !m_lastMessage.empty() && !m_opt.verbose) m_host.Message(m_lastMessage);
    m_session.CheckConnected();
  }

  int Ports() {
    std::istringstream in(ListSerialPorts());
    std::string line;
    while (std::getline(in, line)) std::cout << line << '\n';
    return 0;
  }

  int Info() {
    Open();
    std::cout << "link: " << m_session.PortName << '\n';
    std::cout << "kind: " << (m_session.IsQuillon ? "quillon" : "tallis") << '\n';
    if (!m_session.IsTcp()) std::cout << "version: " << Latin1ToUtf8(m_session.Version) << '\n';
    return 0;
  }

  int Ls(const std::string& path, bool json) {
    Open();
    const auto list = m_session.GetFileList(DevicePath(path));
    if (json) {
      std::cout << "[";
      for (size_t i = 0; i < list.size(); ++i) {
        std::cout << (i ? "," : "") << "\n  {\"name\": " << JsonString(Latin1ToUtf8(list[i]->Name))
                  << ", \"size\": " << list[i]->Size << ", \"kind\": \"" << KindWord(list[i]->Kind) << "\"}";
      }
      std::cout << (list.empty() ? "]\n" : "\n]\n");
      return 0;
    }
    for (const auto& e : list)
      std::cout << KindWord(e->Kind) << '\t' << e->Size << '\t' << Latin1ToUtf8(e->Name) << '\n';
    return 0;
  }

  int Get(const std::string& devicePath, const std::string& local) {
    const auto [folder, name] = SplitDevicePath(devicePath);
    std::string target = local.empty() ? SafeLocalName(name) : local;
    if (fs::is_directory(target)) target = JoinLocalPath(target, SafeLocalName(name));
    Open();
    int64_t size = -1;
    for (const auto& e : m_session.GetFileList(folder))
      if (e->Name == name) size = e->Size;
    if (size < 0) throw UsageError("'" + devicePath + "' is not on the device (see 'corvane ls')");
    // The listing has just made the folder current on the device.
    if (!m_session.GetFile(name, target, size)) return TransferFailed();
    std::cerr << "Saved " << target << '\n';
    return 0;
  }

  int Put(const std::string& local, const std::string& deviceFolder) {
    struct stat st {};
    if (::stat(local.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
      throw UsageError("'" + local + "' is not a readable file");
    std::string name;
    if (!Utf8ToLatin1(fs::path(local).filename().string(), name))
      throw UsageError("the name of '" + local + "' cannot be written in the device's 8-bit names; rename it first");
    Open();
    m_session.ChangeDir(DevicePath(deviceFolder));
    if (!m_session.PutFile(name, local)) return TransferFailed();
    return 0;
  }

  int Rm(const std::string& devicePath) {
    const auto [folder, name] = SplitDevicePath(devicePath);
    Open();
    m_session.ChangeDir(folder);
    m_session.DeleteItem(name);
    return 0;
  }

  int Mv(const std::string& devicePath, const std::string& newName) {
    const auto [folder, name] = SplitDevicePath(devicePath);
    std::string latin1;
    if (!Utf8ToLatin1(newName, latin1) || latin1.empty() || latin1.find_first_of("\\/") != std::string::npos)
      throw UsageError("'" + newName + "' is not a valid device name (8-bit characters, no slash)");
    Open();
    m_session.ChangeDir(folder);
    m_session.RenameItem(name, latin1);
    return 0;
  }

  int OpenEntry(const std::string& devicePath) {
    const auto [folder, name] = SplitDevicePath(devicePath);
    Open();
    m_session.ChangeDir(folder);
    m_session.OpenItem(name);
    return 0;
  }

  int Shot(const std::string& file) {
    const bool png = fs::path(file).extension() == ".png" || fs::path(file).extension() == ".PNG";
    const std::string bmp = png ? file + ".bmp.part" : file;
    Open();
    if (!m_session.CaptureScreen(bmp)) return TransferFailed();
    if (png) {
#ifdef CORVANE_CLI_HAS_QTGUI
      QImage image;
      const bool ok = image.load(QString::fromStdString(bmp), "BMP") && image.save(QString::fromStdString(file), "PNG");
      std::remove(bmp.c_str());
      if (!ok) throw UsageError("The device's picture could not be converted to PNG");
#else
      std::remove(bmp.c_str());
      throw UsageError("This build cannot write PNG; give a .bmp file name");
#endif
    }
    std::cerr << "Saved " << file << '\n';
    return 0;
  }

  int Upgrade(const std::string& image) {
#ifdef CORVANE_CLI_HAS_UPGRADE
    m_session.IsQuillon = true;
    if (!m_host.MessageBox("You are about to upgrade your device ROM.\r\nAre you sure you want to do it?\r\nTo perform "
                           "the upgrade, you must have a rom upgrade file (*.bix)\r\nEnsure that your batteries are "
                           "fully charged or that AC power is connected",
                           "Message", SessionHost::Buttons::kYesNo))
      return 1;
    m_session.BaudRate = !m_opt.baud.empty() ? m_opt.baud : "115200";
    const std::string link = !m_opt.port.empty() ? m_opt.port : "Auto";
    m_session.Connect(link);
    if (m_session.PortName.empty()) m_session.CheckConnected();
    UpgradeSystem(m_session, image);
    if (m_host.interrupted()) return 130;
    return m_host.lastBoxCaption == "Error" ? 1 : 0;
#else
    (void)image;
    throw UsageError("This build has no upgrade support");
#endif
  }

  TerminalHost& Host() { return m_host; }

 private:
  int TransferFailed() {
    if (m_host.interrupted()) {
      std::cerr << "Cancelled; nothing was kept.\n";
      return 130;
    }
    std::cerr << DisplayText(OneLine(m_host.lastFailure.empty() ? std::string(kConnectionErrorText) : m_host.lastFailure))
              << '\n';
    return 1;
  }

  Options m_opt;
  LogModel m_log;
  TerminalHost m_host;
  DeviceSession m_session;
  std::string m_lastMessage;
};

}  // namespace
}  // namespace corvane::cli

int main(int argc, char** argv) {
  using namespace corvane::cli;
  Options opt;
  CLI::App app{"corvane: browse and copy the files of a Corvane Tallis or Quillon over a serial cable or TCP/IP"};
  app.set_version_flag("--version", std::string("corvane ") + CORVANE_VERSION);
  app.require_subcommand(1);
  auto* portOpt = app.add_option("--port", opt.port, "Serial port path (default: detect the device on every port)");
  app.add_option("--tcp", opt.tcp, "IPv4 address of a Quillon on the network, optionally :PORT (default port 46601)")->excludes(portOpt);
  app.add_option("--kind", opt.kind, "Device kind")->check(CLI::IsMember({"tallis", "quillon"}));
  app.add_option("--baud", opt.baud, "Baud rate (default: 9600 for the Tallis, 115200 for the Quillon)")
      ->check(CLI::IsMember({"9600", "19200", "115200"}));
  app.add_flag("--verbose,-v", opt.verbose, "Print every session message");

  std::string path = "\\", local, folder = "\\", newName, file;
  bool json = false;
  auto* ports = app.add_subcommand("ports", "List the serial ports");
  auto* info = app.add_subcommand("info", "Connect and print the device's version");
  auto* ls = app.add_subcommand("ls", "List a device folder (one entry a line: kind, size in bytes, name)");
  ls->add_option("DEVICE_PATH", path, "Folder on the device, with \\ or /");
  ls->add_flag("--json", json, "Print a JSON array of {name, size, kind}");
  auto* get = app.add_subcommand("get", "Copy a device file to this computer");
  get->add_option("DEVICE_PATH", path, "File on the device")->required();
  get->add_option("LOCAL", local, "Local file or folder (default: the device name, made safe, here)");
  auto* put = app.add_subcommand("put", "Copy a local file to the device");
  put->add_option("LOCAL", local, "Local file")->required();
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
  upgrade->add_option("FILE", file, "ROM upgrade file (*.bix)")->required()->check(CLI::ExistingFile);
  upgrade->add_flag("--yes,-y", opt.yes, "Do not ask for confirmation");

  CLI11_PARSE(app, argc, argv);
  TerminalHost::InstallInterruptHandler();
  try {
    Tool tool(opt);
    if (*ports) return tool.Ports();
    if (*info) return tool.Info();
    if (*ls) return tool.Ls(path, json);
    if (*get) return tool.Get(path, local);
    if (*put) return tool.Put(local, folder);
    if (*rm) return tool.Rm(path);
    if (*mv) return tool.Mv(path, newName);
    if (*open) return tool.OpenEntry(path);
    if (*shot) return tool.Shot(file);
    if (*upgrade) return tool.Upgrade(file);
  } catch (const std::exception& e) {
    std::cerr << DisplayText(OneLine(e.what())) << '\n';
    return 1;
  }
  return 0;
}
