#include "session/device_session.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "link/link_error.h"
#include "protocol/listing.h"
#include "protocol/wire.h"

namespace corvane {
namespace {

const char* const kTcpLinkName = "TCP/IP";
const char* const kDetectingName = "AUTO";
const char* kUnableToOpen = "The connectivity kit is unable to open the communication com :";

// The device answers the version command at once, or not at all: an empty
// answer means a device in upgrade mode.
constexpr uint32_t kVersionAnswerMs = 500;
// A listing takes the device a while to gather before its packet starts.
constexpr uint32_t kListingAnswerMs = 2000;
// A command waits for a quiet line, and leaves this time-out on the port:
// a second, and 30 ms a byte for the packets the device paces.
constexpr ReadTimeout kAfterCommandTimeout = {1000, 30};
// The device needs this long after a command byte before it takes a packet.
constexpr uint32_t kCommandSettleMs = 20;
// The device acknowledges a packet within a second.
constexpr ReadTimeout kPacketAckTimeout = {1000, 0};
// A packet goes out at most this many times before the link counts as lost.
constexpr int kMaxPacketTries = 5;
// A packet of the device is read with its caller's time-out plus 30 ms a
// byte; at most this many damaged ones are refused before the link counts as
// lost.
constexpr uint32_t kPacketPerByteMs = 30;
constexpr int kMaxPacketRefusals = 4;

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

bool LessNoCase(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
    return std::tolower(x) < std::tolower(y);
  });
}

}  // namespace

LinkTarget LinkTarget::Named(const std::string& name, int baud) {
  // Special link names are compared without regard to case; port paths exactly.
  const std::string up = Upper(name);
  if (name.empty() || up == "DISCONNECT") return Disconnect();
  if (up == "AUTO") return Auto(baud);
  if (up == "TCP/IP") {
    LinkTarget tcp = Tcp();
    tcp.spelled = name;
    return tcp;
  }
  return Serial(name, baud);
}

int ParseBaudRate(const std::string& text) {
  try {
    size_t used = 0;
    const int baud = std::stoi(text, &used);
    if (used != text.size()) throw std::invalid_argument(text);
    return baud;
  } catch (const std::logic_error&) {
    throw DeviceError(ErrorKind::kUsage, "'" + text + "' is not a valid integer value");
  }
}

DeviceSession::DeviceSession(SessionHost& host, LogModel& log, Clock& clock)
    : OpenPort(OpenSerialPort), ListPorts(ListSerialPorts), m_host(host), m_log(log), m_clock(clock), m_statusDialog(log) {
  m_statusDialog.OnChange = [this] { m_host.TransferDialogChanged(m_statusDialog); };
  Socket.OnConnect = [this] { SocketConnected = true; };
  Socket.OnDisconnect = [this] { OnSocketDisconnect(); };
}

DeviceSession::~DeviceSession() {
  Socket.OnDisconnect = nullptr;
  try {
    Connect(LinkTarget::Disconnect());
  } catch (...) {
  }
}

void DeviceSession::OnSocketDisconnect() {
  if (m_inDisconnect) return;
  m_inDisconnect = true;
  try {
    Connect(LinkTarget::Disconnect());
  } catch (...) {
  }
  m_inDisconnect = false;
}

bool DeviceSession::IsTcp() const { return PortName == kTcpLinkName; }

bool DeviceSession::IsConnected() const { return !PortName.empty() && !UpgradeMode; }

void DeviceSession::CheckConnected() const {
  if (IsConnected()) return;
  if (IsQuillon) LinkError("No device connected or device in upgrade mode", ErrorKind::kNoConnection);
  LinkError("No device connected. Check you are in Xmodem server (RShift LeftArrow)", ErrorKind::kNoConnection);
}

void DeviceSession::Log(const std::string& text) {
  if (OnMessage) OnMessage(*this, text);
}

void DeviceSession::SetBaudRate(int rate) {
  if (rate == BaudRate) return;
  const LinkTarget again = CurrentTarget();
  Connect(LinkTarget::Disconnect());
  BaudRate = rate;
  Connect(again);
}

LinkTarget DeviceSession::CurrentTarget() const {
  if (PortName.empty()) return LinkTarget::Disconnect();
  if (IsTcp()) return LinkTarget::Tcp();
  if (PortName == kDetectingName) return LinkTarget::Auto();
  return LinkTarget::Serial(PortName);
}

ConnectionState DeviceSession::State() const {
  ConnectionState state;
  state.connected = IsConnected();
  state.quillon = IsQuillon;
  state.tcp = IsTcp();
  state.upgradeMode = UpgradeMode;
  state.link = PortName;
  state.version = Version;
  state.detectionTrouble = DetectionTrouble;
  return state;
}

ConnectionState DeviceSession::Connect(const LinkTarget& target) {
  using Kind = LinkTarget::Kind;
  // A new rate for a port that is open already opens it again at that rate.
  const bool newRate = target.baud > 0 && target.baud != BaudRate;
  if (target.baud > 0) BaudRate = target.baud;
  const std::string link = target.kind == Kind::kAuto  ? std::string(kDetectingName)
                           : target.kind == Kind::kTcp ? std::string(kTcpLinkName)
                                                       : target.port;
  if (link == PortName && !(newRate && target.kind == Kind::kSerial)) return State();
  const std::string shown = target.spelled.empty() ? link : target.spelled;
  DetectionTrouble.clear();
  m_currentFolder.clear();
  CommPort.reset();
  PortName = link;
  // Closing a live socket here must not disconnect the session we are building.
  m_inDisconnect = true;
  Socket.Close();
  m_inDisconnect = false;
  SocketConnected = false;

  if (target.kind == Kind::kDisconnect) {
    PortName.clear();
    return State();
  }
  if (target.kind == Kind::kAuto) {
    AutoDetect();
    return State();
  }
  if (target.kind == Kind::kTcp) {
    std::string address = target.address.empty() ? Socket.Address : target.address;
    if (target.address.empty() && !m_host.AskAddress(address)) {
      PortName.clear();
      LinkError(kUnableToOpen + address, ErrorKind::kNoConnection);
    }
    try {
      Socket.Address = address;
      SocketConnected = false;
      Socket.Open();
      if (!SocketConnected) ConnectionError();
      Log("Device connected on " + PortName);
    } catch (const std::exception& e) {
      Log(e.what());
      Connect(LinkTarget::Disconnect());
      // The system's reason goes along, for the user to act on.
      throw DeviceError(ErrorKind::kNoConnection, "Error (" + std::string(kUnableToOpen) + shown + ")", e.what());
    }
    return State();
  }
  if (PortName.empty() || BaudRate <= 0) return State();

  // Why the port could not be opened (permission, in use), with advice.
  std::string openFailure;
  try {
    Log("Opening Comm " + PortName);
    const int baud = BaudRate;
    try {
      CommPort = OpenPort(PortName, baud, IsQuillon);
    } catch (const DeviceError& e) {
      openFailure = e.Detail();
      if (!openFailure.empty()) Log(openFailure);
      throw;
    }
    SendCommand('V');
    Version = ReceivePacket(kVersionAnswerMs);
    UpgradeMode = Version.empty();
    if (UpgradeMode && IsQuillon)
      m_host.MessageBox("Warning, Corvane Quillon in upgrade mode\r\nPlease Upgrade your system", "Warning",
                        SessionHost::Buttons::kOk);
    Log("Device connected on " + PortName);
  } catch (const std::exception& e) {
    // Release the port at once: holding it open (and exclusive) after a
    // failed connection would keep every other program away from it.
    CommPort.reset();
    PortName.clear();
    // No device there (kNoConnection) unless the request itself was wrong.
    const ErrorKind kind = KindOf(e) == ErrorKind::kUsage ? ErrorKind::kUsage : ErrorKind::kNoConnection;
    throw DeviceError(kind, std::string("Error (") + kUnableToOpen + shown + ")", openFailure);
  }
  return State();
}

void DeviceSession::AutoDetect() {
  std::vector<std::string> ports;
  {
    std::istringstream in(ListPorts ? ListPorts() : std::string());
    std::string line;
    while (std::getline(in, line))
      if (!line.empty()) ports.push_back(line);
  }
  std::stable_sort(ports.begin(), ports.end(), LessNoCase);
  // Why ports could not be opened (no permission, in use): the user can fix
  // that, so it goes with the final message rather than only in passing.
  // Ports that opened but had no device answering add nothing.
  std::string reasons;
  DetectionTrouble.clear();
  for (const auto& port : ports) {
    try {
      Connect(LinkTarget::Serial(port));
      return;
    } catch (const DeviceError& e) {
      if (!e.Detail().empty()) reasons += "\n" + e.Detail();
    } catch (const std::exception&) {
      // try the next port
    }
  }
  PortName.clear();
  if (!reasons.empty()) DetectionTrouble = reasons.substr(1);
  Log(kNoDeviceDetectedText + reasons);
}

void DeviceSession::Kill() {
  if (!IsQuillon) return;
  CheckConnected();
  WriteAll(Handle(), Bytes(1, 'k'));
  m_host.MessageBox("Corvane Quillon Connecitvity kit killed", "Message", SessionHost::Buttons::kOk);
}

// ---- commands and packets ----

void DeviceSession::SendCommand(char command) {
  if (IsTcp()) {
    Socket.SendText(Bytes(1, command));
    return;
  }
  DrainInput(Handle());
  SetReadTimeout(Handle(), kAfterCommandTimeout);
  WriteAll(Handle(), Bytes(1, command));
  m_clock.SleepMs(kCommandSettleMs);
}

void DeviceSession::SendPacket(const Bytes& payload) {
  if (IsTcp()) {
    TcpDeadline deadline(*this, "taking a packet");
    deadline.Expect(4 + payload.size());
    Socket.SendText(FrameTcpPacket(payload));
    return;
  }
  if (payload.size() > 0xFFFF) LinkError("Packet too long (" + std::to_string(payload.size()) + " bytes)");
  const Bytes packet = FrameSerialPacket(payload);
  SetReadTimeout(Handle(), kPacketAckTimeout);
  for (int failures = 1;; ++failures) {
    WriteAll(Handle(), packet);
    if (ReadByte(Handle()) == kAck) return;
    if (failures >= kMaxPacketTries) ConnectionError();
    Log(kConnectionErrorText);
    DrainInput(Handle());
  }
}

Bytes DeviceSession::ReceiveExact(uint32_t count) {
  // The buffer grows as the bytes come, never ahead of them: an announced
  // length costs no memory until the device has sent that much.
  constexpr size_t kPiece = 64 * 1024;
  Bytes out;
  while (out.size() < count) {
    const size_t at = out.size();
    out.resize(at + std::min<size_t>(kPiece, count - at));
    const size_t r = Socket.Receive(out.data() + at, out.size() - at);
    out.resize(at + r);
    // A connection that closed early leaves no device data in the tail.
    if (r == 0) ConnectionError();
  }
  return out;
}

Bytes DeviceSession::ReceivePacket(uint32_t timeoutMs) {
  if (IsTcp()) {
    TcpDeadline deadline(*this, "its answer");
    char size[4];
    size_t got = 0;
    while (got < 4) {
      const size_t r = Socket.Receive(size + got, 4 - got);
      if (r == 0) ConnectionError();
      got += r;
    }
    const uint32_t length = ReadLe32(size);
    if (length > kMaxTcpCommandPacket) {
      Log("Refused a packet of " + std::to_string(length) + " bytes from the device");
      Socket.Close();
      throw DeviceError(ErrorKind::kNoConnection, RefusedLengthMessage("packet", length, kMaxTcpCommandPacket));
    }
    deadline.Expect(4 + uint64_t{length});
    return ReceiveExact(length);
  }
  const ReadTimeout timeout = {timeoutMs, kPacketPerByteMs};
  SetReadTimeout(Handle(), timeout);
  for (int failures = 0;;) {
    PacketAttempt a = ReadSerialPacketOnce(Handle());
    if (a.outcome == PacketAttempt::kVersionByte) return Bytes();
    if (a.outcome == PacketAttempt::kOk) {
      WriteAll(Handle(), Bytes(1, static_cast<char>(kAck)));
      return std::move(a.payload);
    }
    DrainInput(Handle());
    ++failures;
    WriteAll(Handle(), Bytes(1, static_cast<char>(kNak)));
    if (failures >= kMaxPacketRefusals) ConnectionError();
  }
}

Bytes TallisHomeLine(const Bytes& path) {
  Bytes line = DevicePath::Parse(path).FolderForm();
  std::replace(line.begin(), line.end(), '\\', ' ');
  return "HOME " + line;
}

Bytes DeviceFilePart(const Bytes& name) {
  const size_t slash = name.rfind('\\');
  return slash == Bytes::npos ? name : name.substr(slash + 1);
}

void DeviceSession::CheckEntryName(const Bytes& name) const {
  if (std::string message = RefusedNameMessage(name, IsQuillon); !message.empty())
    throw DeviceError(ErrorKind::kUsage, message);
}

void DeviceSession::CheckFolderPath(const Bytes& path) const {
  if (std::string message = RefusedFolderMessage(path, IsQuillon); !message.empty())
    throw DeviceError(ErrorKind::kUsage, message);
}

void DeviceSession::ChangeDir(const Bytes& path) {
  CheckFolderPath(path);
  CheckConnected();
  const Bytes p = DevicePath::Parse(path).FolderForm();
  Log("Change current dir to " + p);
  m_currentFolder.clear();
  if (IsQuillon) {
    SendCommand('C');
    SendPacket(p);
  } else {
    const Bytes line = TallisHomeLine(p);
    if (!IsTcp()) DiscardInput(Handle());
    SendCommand('E');
    SendPacket(line);
  }
  m_currentFolder = p;
}

std::vector<ListingEntry> DeviceSession::ListFolder(const Bytes& path) {
  CheckConnected();
  ChangeDir(path);
  return ListCurrentFolder();
}

std::vector<ListingEntry> DeviceSession::ListCurrentFolder(uint32_t pauseMs) {
  CheckConnected();
  Log("Get list of files from device");
  SendCommand('L');
  if (pauseMs > 0) m_clock.SleepMs(pauseMs);
  return ParseListing(ReceivePacket(kListingAnswerMs), IsQuillon);
}

// ---- deadlines and limits of the TCP/IP link ----

TcpDeadline::TcpDeadline(DeviceSession& s, std::string what)
    : m_s(s), m_what(std::move(what)), m_start(s.GetClock().NowMs()), m_outer(s.Socket.CurrentDeadline()) {
  Expect(0);
}

TcpDeadline::~TcpDeadline() { m_s.Socket.SetDeadline(m_outer); }

void TcpDeadline::Expect(uint64_t bytes) {
  const uint32_t timeoutMs = m_s.Socket.TimeoutMs;
  const uint64_t allowedMs = TcpAllowanceMs(bytes, timeoutMs);
  const uint64_t at = m_start + allowedMs;
  if (m_outer.clock != nullptr && m_outer.atMs <= at) {
    m_s.Socket.SetDeadline(m_outer);
    return;
  }
  std::string message = "The device took longer than " + std::to_string((allowedMs + 500) / 1000) + " s for " +
                        m_what;
  if (bytes > 0)
    message += " (" + std::to_string(bytes) + " bytes; the kit allows " + std::to_string(timeoutMs / 1000) +
               " s and one more for every " + std::to_string(kTcpSlowestBytesPerSecond / 1024) + " KiB)";
  message += ", so the connection was closed. Check the network and the device, and connect again";
  m_s.Socket.SetDeadline({&m_s.GetClock(), at, std::move(message)});
}

std::string RefusedLengthMessage(const char* what, uint64_t announced, uint64_t cap) {
  return "The device announced a " + std::string(what) + " of " + std::to_string(announced) +
         " bytes; the kit takes at most " + std::to_string(cap / (1024 * 1024)) + " MiB (" + std::to_string(cap) +
         " bytes), so the connection was closed. Connect again";
}

// ---- the status dialog and worker reports ----

ReportHandler DeviceSession::ThreadMessage() {
  return [this](const Report& report) { m_statusDialog.Report(report); };
}

void DeviceSession::LogAppend(const std::string& line) { m_log.Append(line); }

void DeviceSession::BeginStatus(const std::string& caption, bool cancelVisible) {
  m_statusDialog.Begin(caption, cancelVisible);
}

}  // namespace corvane
