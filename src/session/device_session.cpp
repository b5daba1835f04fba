#include "session/device_session.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "link/link_error.h"
#include "protocol/listing.h"
#include "protocol/wire.h"

namespace corvane {
namespace {

const char* kUnableToOpen = "The connectivity kit is unable to open the communication com :";

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

// Special link names are compared without regard to case; port paths exactly.
std::string NormaliseLinkName(const std::string& name) {
  const std::string up = Upper(name);
  if (up == "AUTO" || up == "TCP/IP" || up == "DISCONNECT") return up;
  return name;
}

bool LessNoCase(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
    return std::tolower(x) < std::tolower(y);
  });
}

}  // namespace

DeviceSession::DeviceSession(SessionHost& host, LogModel& log, Clock& clock)
    : OpenPort(OpenSerialPort), ListPorts(ListSerialPorts), m_host(host), m_log(log), m_clock(clock), m_statusDialog(log) {
  m_statusDialog.OnChange = [this] { m_host.TransferDialogChanged(m_statusDialog); };
  Socket.OnConnect = [this] { SocketConnected = true; };
  Socket.OnDisconnect = [this] { OnSocketDisconnect(); };
}

DeviceSession::~DeviceSession() {
  Socket.OnDisconnect = nullptr;
  try {
    Connect("");
  } catch (...) {
  }
}

void DeviceSession::OnSocketDisconnect() {
  if (m_inDisconnect) return;
  m_inDisconnect = true;
  try {
    Connect("");
  } catch (...) {
  }
  m_inDisconnect = false;
}

bool DeviceSession::IsTcp() const { return PortName == "TCP/IP"; }

bool DeviceSession::IsConnected() const { return !PortName.empty() && !UpgradeMode; }

void DeviceSession::CheckConnected() const {
  if (IsConnected()) return;
  if (IsQuillon) LinkError("No device connected or device in upgrade mode", ErrorKind::kNoConnection);
  LinkError("No device connected. Check you are in Xmodem server (RShift LeftArrow)", ErrorKind::kNoConnection);
}

void DeviceSession::Log(const std::string& text) {
  if (OnMessage) OnMessage(*this, text);
}

void DeviceSession::SetBaudRate(const std::string& rate) {
  if (rate == BaudRate) return;
  const std::string port = PortName;
  Connect("");
  BaudRate = rate;
  Connect(port);
}

void DeviceSession::Connect(const std::string& name) {
  const std::string link = NormaliseLinkName(name);
  if (link == PortName) return;
  DetectionTrouble.clear();
  m_currentFolder.clear();
  CommPort.reset();
  PortName = link;
  // Closing a live socket here must not disconnect the session we are building.
  m_inDisconnect = true;
  Socket.Close();
  m_inDisconnect = false;
  SocketConnected = false;

  if (PortName == "DISCONNECT") {
    PortName.clear();
    return;
  }
  if (PortName == "AUTO") {
    AutoDetect();
    return;
  }
  if (PortName == "TCP/IP") {
    std::string address = Socket.Address;
    if (!m_host.AskAddress(address)) {
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
      Connect("");
      LinkError(kUnableToOpen + name, ErrorKind::kNoConnection);
    }
    return;
  }
  if (PortName.empty() || BaudRate.empty()) return;

  // Why the port could not be opened (permission, in use), with advice.
  std::string openFailure;
  try {
    Log("Opening Comm " + PortName);
    int baud = 0;
    try {
      size_t used = 0;
      baud = std::stoi(BaudRate, &used);
      if (used != BaudRate.size()) throw std::invalid_argument(BaudRate);
    } catch (const std::logic_error&) {
      throw DeviceError(ErrorKind::kUsage, "'" + BaudRate + "' is not a valid integer value");
    }
    try {
      CommPort = OpenPort(PortName, baud, IsQuillon);
    } catch (const DeviceError& e) {
      openFailure = e.Detail();
      if (!openFailure.empty()) Log(openFailure);
      throw;
    }
    SendCommand('V');
    Version = ReceivePacket(500);
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
    throw DeviceError(kind, std::string("Error (") + kUnableToOpen + name + ")", openFailure);
  }
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
      Connect(port);
      return;
    } catch (const DeviceError& e) {
      if (!e.Detail().empty()) reasons += "\n" + e.Detail();
    } catch (const std::exception&) {
      // try the next port
    }
  }
  PortName.clear();
  if (!reasons.empty()) DetectionTrouble = reasons.substr(1);
  Log("No device detected. Check: the cable connection. If the device is turned ON" + reasons);
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
  DrainInput(Handle(), {1000, 30});
  WriteAll(Handle(), Bytes(1, command));
  m_clock.SleepMs(20);
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
  SetReadTimeout(Handle(), {1000, 0});
  for (int failures = 1;; ++failures) {
    WriteAll(Handle(), packet);
    if (ReadByte(Handle()) == kAck) return;
    if (failures >= 5) ConnectionError();
    Log(kConnectionErrorText);
    DrainInput(Handle(), {1000, 0});
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
  SetReadTimeout(Handle(), {timeoutMs, 30});
  for (int failures = 0;;) {
    PacketAttempt a = ReadSerialPacketOnce(Handle());
    if (a.outcome == PacketAttempt::kVersionByte) return Bytes();
    if (a.outcome == PacketAttempt::kOk) {
      WriteAll(Handle(), Bytes(1, static_cast<char>(kAck)));
      return std::move(a.payload);
    }
    DrainInput(Handle(), {timeoutMs, 30});
    ++failures;
    WriteAll(Handle(), Bytes(1, static_cast<char>(kNak)));
    if (failures >= 4) ConnectionError();
  }
}

Bytes NormaliseDevicePath(const Bytes& path) {
  Bytes p = path + "\\";
  Bytes out;
  out.reserve(p.size());
  for (char c : p) {
    if (c == '\\' && !out.empty() && out.back() == '\\') continue;
    out += c;
  }
  return out;
}

Bytes TallisHomeLine(const Bytes& path) {
  Bytes line = NormaliseDevicePath(path);
  std::replace(line.begin(), line.end(), '\\', ' ');
  return "HOME " + line;
}

Bytes DeviceFilePart(const Bytes& name) {
  const size_t slash = name.rfind('\\');
  return slash == Bytes::npos ? name : name.substr(slash + 1);
}

std::string ShownName(const Bytes& name) {
  std::string out;
  for (unsigned char c : name) {
    if (c >= 0x20 && c != 0x7F && (c < 0x80 || c > 0x9F)) {
      out += static_cast<char>(c);
      continue;
    }
    static const char kHex[] = "0123456789ABCDEF";
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 0x0F];
  }
  return out;
}

std::string RefusedNameMessage(const Bytes& name, bool quillon) {
  std::string reason;
  if (quillon) {
    if (name.find('\0') == Bytes::npos) return {};
    return "The Quillon cannot take the name \"" + ShownName(name) +
           "\": it contains a NUL byte, which would end the name on the device. Nothing was sent to the "
           "device; choose another name";
  }
  if (name.empty()) {
    reason = "it is empty";
  } else if (name.size() > kMaxTallisNameLength) {
    reason = "it is longer than " + std::to_string(kMaxTallisNameLength) + " characters";
  } else {
    for (unsigned char c : name) {
      if (c == '\'') reason = "it contains a quote (')";
      else if (c == ' ') reason = "it contains a blank";
      else if (c < 0x20 || c == 0x7F) reason = "it contains a control character";
      if (!reason.empty()) break;
    }
  }
  if (reason.empty()) return {};
  return "The Tallis cannot take the name \"" + ShownName(name) + "\": " + reason +
         ". Names go to the Tallis inside its command lines, so a name must have 1 to " +
         std::to_string(kMaxTallisNameLength) +
         " characters and no quote, blank or control character. Nothing was sent to the device; choose another name";
}

void DeviceSession::CheckEntryName(const Bytes& name) const {
  if (std::string message = RefusedNameMessage(name, IsQuillon); !message.empty())
    throw DeviceError(ErrorKind::kUsage, message);
}

void DeviceSession::CheckFolderPath(const Bytes& path) const {
  if (IsQuillon) {
    CheckEntryName(path);
    return;
  }
  // Each folder name between the backslashes goes into the "HOME" line.
  size_t pos = 0;
  while (pos < path.size()) {
    size_t end = path.find('\\', pos);
    if (end == Bytes::npos) end = path.size();
    if (end > pos) CheckEntryName(path.substr(pos, end - pos));
    pos = end + 1;
  }
}

void DeviceSession::ChangeDir(const Bytes& path) {
  CheckFolderPath(path);
  CheckConnected();
  const Bytes p = NormaliseDevicePath(path);
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
  return ParseListing(ReceivePacket(2000), IsQuillon);
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
