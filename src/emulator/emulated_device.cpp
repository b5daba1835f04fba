#include "emulator/emulated_device.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "emulator/device_files.h"
#include "emulator/device_link.h"
#include "emulator/emulated_device_session.h"
#include "emulator/screen.h"
#include "link/link_error.h"
#include "link/termios_port.h"
#include "protocol/wire.h"

namespace corvane::emu {

std::string DefaultVersion(DeviceKind kind) {
  return kind == DeviceKind::kQuillon ? "Quillon Xmodem server 2.1" : "Tallis Xmodem server 1.4";
}

std::string KindName(DeviceKind kind) { return kind == DeviceKind::kQuillon ? "Quillon" : "Tallis"; }

using namespace session_detail;

// ---- the device ----

EmulatedDevice::EmulatedDevice(DeviceOptions options) : m_options(std::move(options)) {
  m_upgradeMode = m_options.upgradeMode;
  m_faults = m_options.faults;
  std::error_code ec;
  if (m_options.root.empty() || !fs::is_directory(m_options.root, ec))
    throw std::runtime_error("The device's folder '" + m_options.root.string() +
                             "' does not exist: create it or choose another with --root");
  m_options.root = fs::canonical(m_options.root, ec);
}

EmulatedDevice::~EmulatedDevice() { Stop(); }

std::string EmulatedDevice::StartPty(const std::string& linkPath) {
  if (m_thread.joinable()) throw std::runtime_error("The emulated device is already running");
  m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m_master < 0) throw std::runtime_error(SysError("Cannot create a pseudo-terminal"));
  auto fail = [this](const std::string& what) {
    const std::string text = SysError(what);
    if (m_slave >= 0) ::close(m_slave);
    ::close(m_master);
    m_slave = m_master = -1;
    throw std::runtime_error(text);
  };
  if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) fail("Cannot unlock the pseudo-terminal");
  char name[128];
  if (::ptsname_r(m_master, name, sizeof name) != 0) fail("Cannot name the pseudo-terminal");
  m_slavePath = name;
  m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m_slave < 0) fail("Cannot open " + m_slavePath);
  // Raw on both sides from the start, so nothing is echoed or translated
  // before the PC opens the port and sets it up itself.
  for (int fd : {m_slave, m_master}) {
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0) {
      ::cfmakeraw(&tio);
      ::cfsetispeed(&tio, B115200);
      ::cfsetospeed(&tio, B115200);
      ::tcsetattr(fd, TCSANOW, &tio);
    }
  }
  if (!linkPath.empty()) {
    std::error_code ec;
    const auto st = fs::symlink_status(linkPath, ec);
    if (fs::is_symlink(st)) fs::remove(linkPath, ec);
    else if (fs::exists(st)) fail("Cannot make the link " + linkPath + " (a file of that name exists; remove it)");
    if (::symlink(m_slavePath.c_str(), linkPath.c_str()) != 0) fail("Cannot make the link " + linkPath);
    m_linkPath = linkPath;
  }
  m_stop = false;
  m_running = true;
  m_thread = std::thread([this] { ServePty(); });
  Log(KindName(m_options.kind) + " emulator on " + m_slavePath + (m_linkPath.empty() ? "" : " (" + m_linkPath + ")"));
  return m_slavePath;
}

uint16_t EmulatedDevice::StartTcp(uint16_t port) {
  if (m_thread.joinable()) throw std::runtime_error("The emulated device is already running");
  m_listener = std::make_unique<TcpListener>(port);
  m_tcpPort = m_listener->Port();
  m_stop = false;
  m_running = true;
  m_thread = std::thread([this] { ServeTcp(); });
  Log(KindName(m_options.kind) + " emulator on 127.0.0.1:" + std::to_string(m_tcpPort));
  return m_tcpPort;
}

void EmulatedDevice::ServePty() {
  try {
    TermiosPort inner(m_master, m_slavePath, /*ownsFd=*/false);
    DevicePort port(inner, m_stop);
    port.SetPacing(m_options.lineRate, m_options.turnaroundMs);
    // The PC opens the port for exclusive use; while we hold our own slave
    // open that mark would outlive the PC's close and refuse its next open.
    // Lift it whenever the line has been idle a while.
    Session session(*this, &port, nullptr, [this] { ::ioctl(m_slave, TIOCNXCL); });
    session.Run();
  } catch (const std::exception& e) {
    Log(std::string("Serving stopped: ") + e.what());
  }
  std::lock_guard lock(m_mutex);
  m_running = false;
  m_changed.notify_all();
}

void EmulatedDevice::ServeTcp() {
  try {
    while (!m_stop.load()) {
      const int fd = m_listener->Accept(kIdleSliceMs);
      if (fd < 0) continue;
      Log("PC connected");
      TcpLink link(fd, m_stop);
      Session session(*this, nullptr, &link, nullptr);
      const bool quit = session.Run();
      Log("PC disconnected");
      if (quit) break;
    }
  } catch (const std::exception& e) {
    Log(std::string("Serving stopped: ") + e.what());
  }
  std::lock_guard lock(m_mutex);
  m_running = false;
  m_changed.notify_all();
}

void EmulatedDevice::Stop() {
  m_stop = true;
  if (m_thread.joinable()) m_thread.join();
  m_listener.reset();
  if (!m_linkPath.empty()) {
    char target[256] = {};
    const ssize_t n = ::readlink(m_linkPath.c_str(), target, sizeof target - 1);
    if (n > 0 && m_slavePath == std::string(target, static_cast<size_t>(n))) ::unlink(m_linkPath.c_str());
    m_linkPath.clear();
  }
  if (m_slave >= 0) ::close(m_slave);
  if (m_master >= 0) ::close(m_master);
  m_slave = m_master = -1;
  std::lock_guard lock(m_mutex);
  m_running = false;
  m_changed.notify_all();
}

bool EmulatedDevice::WaitUntilStopped(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [this] { return !m_running.load(); });
}

void EmulatedDevice::Log(const std::string& line) {
  {
    std::lock_guard lock(m_mutex);
    if (m_log.size() >= 10000) m_log.erase(m_log.begin(), m_log.begin() + 5000);
    m_log.push_back(line);
  }
  m_changed.notify_all();
  if (m_options.onLog) m_options.onLog(line);
}

void EmulatedDevice::Record(const CommandRecord& r) {
  {
    std::lock_guard lock(m_mutex);
    m_commands.push_back(r);
  }
  m_changed.notify_all();
}

void EmulatedDevice::AddPacket(const Bytes& packet) {
  {
    std::lock_guard lock(m_mutex);
    if (!m_commands.empty()) m_commands.back().packets.push_back(packet);
  }
  m_changed.notify_all();
}

void EmulatedDevice::SetBusy(bool busy) {
  {
    std::lock_guard lock(m_mutex);
    m_busy = busy;
  }
  m_changed.notify_all();
}

std::vector<CommandRecord> EmulatedDevice::Commands() const {
  std::lock_guard lock(m_mutex);
  return m_commands;
}

std::vector<std::string> EmulatedDevice::LogLines() const {
  std::lock_guard lock(m_mutex);
  return m_log;
}

void EmulatedDevice::ClearRecords() {
  std::lock_guard lock(m_mutex);
  m_commands.clear();
  m_log.clear();
}

bool EmulatedDevice::WaitForCommands(const std::function<bool(const std::vector<CommandRecord>&)>& pred,
                                     std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] { return pred(m_commands); });
}

bool EmulatedDevice::WaitForLog(const std::string& text, std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] {
    return std::any_of(m_log.begin(), m_log.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
  });
}

bool EmulatedDevice::WaitIdle(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] { return !m_busy; });
}

Misbehaviour EmulatedDevice::Faults() const {
  std::lock_guard lock(m_mutex);
  return m_faults;
}

void EmulatedDevice::SetFaults(const Misbehaviour& faults) {
  std::lock_guard lock(m_mutex);
  m_faults = faults;
}

void EmulatedDevice::UpdateFaults(const std::function<void(Misbehaviour&)>& change) {
  std::lock_guard lock(m_mutex);
  change(m_faults);
}

void EmulatedDevice::SetUpgradeMode(bool on) { m_upgradeMode = on; }

fs::path EmulatedDevice::CurrentFolder() const {
  std::lock_guard lock(m_mutex);
  return m_current;
}

void EmulatedDevice::SetCurrentFolder(const fs::path& p) {
  std::lock_guard lock(m_mutex);
  m_current = p;
}

}  // namespace corvane::emu
