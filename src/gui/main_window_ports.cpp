// The main window and the ports plugged in and out while it is open: the
// port list follows the port watch; a port that appears while the window has
// no device is connected with "Auto" once it can be opened; the port of the
// device vanishing disconnects.
#include <QComboBox>
#include <QSocketNotifier>
#include <QTimer>

#include <memory>
#include <sstream>

#include "gui/device_controller.h"
#include "gui/main_window.h"
#include "gui/message_box.h"
#include "link/port_watch.h"
#include "link/serial_port.h"
#include "session/device_session.h"
#include "session/status_dialog.h"

namespace corvane {
namespace {

// The first of the lines of `trouble` (why ports could not be opened) that
// names one of `ports`; empty when none does.
std::string TroubleOf(const std::string& trouble, const std::vector<std::string>& ports) {
  std::istringstream in(trouble);
  std::string line;
  while (std::getline(in, line))
    for (const auto& port : ports)
      if (line.find(port) != std::string::npos) return line;
  return {};
}

}  // namespace

void MainWindow::SetUpPortWatch() {
  if (!m_options.watchPorts) return;
  for (const auto& folder : m_options.portFolders) AddSerialPortFolder(folder);
  PortWatch::Options o;
  o.folders = m_options.portFolders;
  o.systemPorts = m_options.watchSystemPorts;
  try {
    m_portWatch = std::make_unique<PortWatch>(o);
  } catch (const DeviceError& e) {
    // The kit works without it: the list is made at start and on (Re)Connect.
    m_log->Append("Ports plugged in later will not be listed: " + e.Detail());
    return;
  }
  m_portNotifier = std::make_unique<QSocketNotifier>(m_portWatch->Fd(), QSocketNotifier::Read);
  connect(m_portNotifier.get(), &QSocketNotifier::activated, this, &MainWindow::TakePortChanges);
  m_plugRetry = new QTimer(this);
  m_plugRetry->setSingleShot(true);
  m_plugRetry->setInterval(m_options.plugRetryMs);
  connect(m_plugRetry, &QTimer::timeout, this, [this] {
    m_plugPending = true;
    ReviewPorts();
  });
  // What came in during a command is acted on once it has ended.
  connect(m_device, &DeviceController::idle, this, &MainWindow::ReviewPorts, Qt::QueuedConnection);
}

void MainWindow::RefillPortList() {
  const QString chosen = m_ports->currentText();
  FillPortList();
  const int index = m_ports->findText(chosen);
  m_ports->setCurrentIndex(index >= 0 ? index : 0);
}

void MainWindow::TakePortChanges() {
  const PortWatch::Changes changes = m_portWatch->TakeChanges();
  if (changes.Empty()) return;
  RefillPortList();
  for (const auto& port : changes.removed) {
    if (!m_link.link.empty() && port == m_link.link) m_unpluggedPort = port;
  }
  if (!changes.added.empty()) {
    m_plugPending = true;
    m_pluggedSince.start();
    m_pluggedPorts = changes.added;
  }
  emit portsChanged();
  ReviewPorts();
}

void MainWindow::ReviewPorts() {
  if (m_portWatch == nullptr || m_device->Busy() || m_closeWhenIdle) return;
  if (!m_unpluggedPort.empty()) {
    // The command that ran meanwhile may have lost the link already.
    if (m_link.link == m_unpluggedPort) {
      DisconnectUnpluggedPort();
      return;
    }
    m_unpluggedPort.clear();
  }
  if (!m_plugPending) return;
  m_plugPending = false;
  // A device answers (or waits in upgrade mode), or the user chose to be
  // disconnected: a new port changes nothing.
  if (m_link.connected || !m_link.link.empty()) return;
  if (m_ports->currentText() == QLatin1String("disconnect")) return;
  ConnectPluggedPort();
}

void MainWindow::ConnectPluggedPort() {
  m_timer->stop();
  const std::string baud = m_baud->currentText().toStdString();
  auto root = std::make_shared<std::optional<std::vector<ListingEntry>>>();
  auto trouble = std::make_shared<std::string>();
  const bool started = RunCommand(
      [baud, root, trouble](DeviceSession& s) {
        s.SetBaudRate(ParseBaudRate(baud));
        const ConnectionState link = s.Connect(LinkTarget::Auto());
        if (link.upgradeMode) return;
        if (!link.connected) {
          // Nothing answered: the session has said so ("No device detected").
          *trouble = link.detectionTrouble;
          return;
        }
        *root = s.ListFolder("\\");
      },
      [this, root, trouble] {
        if (*root || m_link.upgradeMode) {
          m_plugRetry->stop();
          m_ports->setCurrentIndex(0);  // "Auto", as the connection was made
          ShowConnection(*root ? &**root : nullptr);
          return;
        }
        // A port just plugged in that cannot be opened yet: a modem manager
        // probes a fresh port for several seconds, and udev may not have
        // given it its group yet. (Other ports' trouble is not waited out.)
        const std::string mine = TroubleOf(*trouble, m_pluggedPorts);
        if (mine.empty()) return;
        const QString why = MessageText(mine);
        if (m_pluggedSince.isValid() && m_pluggedSince.elapsed() < m_options.plugRetryLimitMs) {
          ShowStatus(tr("A port was plugged in but cannot be opened yet; trying again: %1").arg(why));
          m_plugRetry->start();
          return;
        }
        const QString text = tr("The port plugged in stays busy or cannot be opened: %1").arg(why);
        ShowStatus(text);
        m_log->Append(text.toStdString());
      },
      true);
  if (!started) return;
  ++m_connection;
  SetConnected(false);
}

void MainWindow::DisconnectUnpluggedPort() {
  // Once the mount is down; ReviewPorts comes back here when the worker is free.
  if (!UnmountBeforeLinkChange({})) return;
  const std::string port = m_unpluggedPort;
  m_unpluggedPort.clear();
  m_timer->stop();
  RunCommand(
      [port](DeviceSession& s) {
        s.Log("The port " + port + " has gone");
        s.Connect(LinkTarget::Disconnect());
        throw DeviceError(ErrorKind::kNoConnection, kConnectionErrorText);
      },
      {}, false);
}

}  // namespace corvane
