#pragma once
// The session with the device's file server: the link, detection, command
// packets, listings and file operations.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "link/bytes.h"
#include "link/clock.h"
#include "link/serial_port.h"
#include "link/tcp_socket.h"
#include "protocol/listing.h"
#include "protocol/report.h"
#include "session/device_path.h"
#include "session/host.h"
#include "session/status_dialog.h"

namespace corvane {

// What "Auto" says when no port has a device that answers.
inline constexpr const char* kNoDeviceDetectedText =
    "No device detected. Check: the cable connection. If the device is turned ON";

// Where Connect goes: nowhere (disconnect), the first serial port that has a
// device answering (auto), one serial port, or the TCP/IP link.
struct LinkTarget {
  enum class Kind { kDisconnect, kAuto, kSerial, kTcp };
  Kind kind = Kind::kDisconnect;
  std::string port;     // kSerial: the port path, as given
  int baud = 0;         // kSerial, kAuto: bits per second; 0 keeps the session's BaudRate
  std::string address;  // kTcp: the address; empty asks the host (AskAddress)
  std::string spelled;  // the link's name as the user wrote it, for messages; empty: its own

  static LinkTarget Disconnect() { return {}; }
  static LinkTarget Auto(int baud = 0) { return {Kind::kAuto, {}, baud, {}, {}}; }
  static LinkTarget Serial(std::string port, int baud = 0) { return {Kind::kSerial, std::move(port), baud, {}, {}}; }
  static LinkTarget Tcp(std::string address = {}) { return {Kind::kTcp, {}, 0, std::move(address), {}}; }
  // A link as a user names it: "Auto", "TCP/IP" and "disconnect" in any
  // letter case, an empty name for none, anything else a port path (exactly).
  static LinkTarget Named(const std::string& name, int baud = 0);
};

// A baud rate as a user typed it; DeviceError (kUsage) "'X' is not a valid
// integer value" when it is none.
int ParseBaudRate(const std::string& text);

// What an operation hands back of the link, for its completion to show.
struct ConnectionState {
  bool connected = false;  // a device answers (not one in upgrade mode)
  bool quillon = false;
  bool tcp = false;
  bool upgradeMode = false;
  std::string link;  // the port path, "TCP/IP", or empty
  Bytes version;     // as the device gave it
  // After "Auto" found no device: see DeviceSession::DetectionTrouble.
  std::string detectionTrouble;
  // The length of the local file a get makes of an entry listed with `size`
  // bytes (a Tallis object over serial comes with its header).
  int64_t FetchedSize(int64_t size) const;
};

class DeviceSession {
 public:
  using MessageHandler = std::function<void(DeviceSession& sender, const std::string& text)>;
  using PortOpener = std::function<std::unique_ptr<SerialPort>(const std::string& name, int baud, bool handshake)>;

  DeviceSession(SessionHost& host, LogModel& log, Clock& clock = Clock::System());
  ~DeviceSession();
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;

  // ---- fields (public as the session's owner reads and sets them) ----
  bool UpgradeMode = false;
  TcpSocket Socket;
  std::unique_ptr<SerialPort> CommPort;  // the open serial port, or none
  std::string PortName;  // "", "TCP/IP" or the port path as given ("AUTO" while detecting)
  int BaudRate = 0;
  bool IsQuillon = false;
  MessageHandler OnMessage;
  Bytes Version;
  bool SocketConnected = false;
  // After "Auto" found no device: why ports could not be opened (no
  // permission, in use), one per line with advice; empty when none failed so.
  std::string DetectionTrouble;
  // Opens serial ports (OpenSerialPort unless a test replaces it).
  PortOpener OpenPort;
  // Lists serial ports, one per line (ListSerialPorts unless replaced).
  std::function<std::string()> ListPorts;

  SerialPort* Handle() const { return CommPort.get(); }
  SessionHost& Host() { return m_host; }
  Clock& GetClock() { return m_clock; }
  StatusDialog& GetStatusDialog() { return m_statusDialog; }
  LogModel& Log() { return m_log; }

  // ---- connection ----
  // Connects to `target` (a no-op when it is the link already there) and
  // returns the state of the link afterwards; raises DeviceError when it
  // cannot be opened.
  ConnectionState Connect(const LinkTarget& target);
  // Reopens the link at the new rate when it differs.
  void SetBaudRate(int rate);
  ConnectionState State() const;
  bool IsTcp() const;
  bool IsConnected() const;
  void CheckConnected() const;
  void Log(const std::string& text);
  void Kill();

  // ---- commands and packets ----
  void SendCommand(char command);
  void SendPacket(const Bytes& payload);
  Bytes ReceivePacket(uint32_t timeoutMs);
  Bytes ReceiveExact(uint32_t count);
  // Raises DeviceError (kUsage, with RefusedNameMessage) when the name cannot
  // be sent to the device as one name; sends nothing. Every operation that
  // names an entry checks its names so; a caller that sends something first
  // (a change of folder) checks them itself before that.
  void CheckEntryName(const Bytes& name) const;
  // The same for each folder name of a device path.
  void CheckFolderPath(const Bytes& path) const;
  void ChangeDir(const Bytes& path);
  // The entries of a folder as the device lists them.
  std::vector<ListingEntry> ListFolder(const Bytes& path);
  // The entries of the device's current folder (no change of folder).
  // `pauseMs`: the pause between the command and the answer's wait, which a
  // listing keeps; a check over TCP/IP, which waits for the answer anyway,
  // can do without it.
  std::vector<ListingEntry> ListCurrentFolder(uint32_t pauseMs = 300);
  // The folder the last ChangeDir made current, normalised ("\\a\\"); empty
  // before one, or after one that failed.
  const Bytes& CurrentFolder() const { return m_currentFolder; }

  // ---- file operations ----
  // Each raises DeviceError on failure, over serial and TCP alike. A block
  // transfer's own failure has already been reported in the transfer dialog
  // and the log (DeviceError::Reported()); a cancelled one is kCancelled.
  void GetFile(const Bytes& deviceName, const std::string& localPath, int64_t size);
  // The length of the local file GetFile makes of an entry listed with `size`
  // bytes (a Tallis object over serial comes with its header).
  int64_t FetchedSize(int64_t size) const;
  void PutFile(const Bytes& deviceName, const std::string& localPath);
  void DeleteItem(const Bytes& name);
  void RenameItem(const Bytes& oldName, const Bytes& newName);
  void OpenItem(const Bytes& name);
  void CaptureScreen(const std::string& localPath);

  // The report handler of every transfer: the transfer dialog takes the
  // report (and logs it) on the session's thread, in order.
  ReportHandler ThreadMessage();
  // A line for the log only (the image compressor's).
  void LogAppend(const std::string& line);
  // Shows the transfer dialog, reset, for the transfer that starts now.
  void BeginStatus(const std::string& caption, bool cancelVisible);
  // The transfer dialog's Cancel: stops the running transfer at once (its
  // wait on the link wakes). Safe from any thread. `programEnding`: see
  // StatusDialog::RequestCancel.
  bool RequestCancel(bool programEnding = false) { return m_statusDialog.RequestCancel(programEnding); }
  const std::atomic<bool>& CancelFlag() const { return m_statusDialog.CancelFlag(); }
  const CancelSignal& Cancel() const { return m_statusDialog.Cancel(); }

 private:
  void AutoDetect();
  void OnSocketDisconnect();
  void CheckPortName(const std::string& name);
  // The target that reopens the link there is now.
  LinkTarget CurrentTarget() const;

  SessionHost& m_host;
  LogModel& m_log;
  Clock& m_clock;
  StatusDialog m_statusDialog;
  bool m_inDisconnect = false;
  // The folder the last ChangeDir made current (normalised); empty before.
  Bytes m_currentFolder;
};

// While it lives, the session's socket has an overall deadline: what is
// awaited or sent must be through within TcpAllowanceMs of its size, counted
// from when the guard was made. Before Expect() the size is unknown (a
// packet whose length has not come yet) and only the socket's time-out is
// allowed. An earlier deadline already set (an enclosing transfer's) stays
// in force when it ends first; the one before is back when the guard goes.
class TcpDeadline {
 public:
  // `what` names it in the error: "its answer", "the file data.bin".
  TcpDeadline(DeviceSession& s, std::string what);
  ~TcpDeadline();
  TcpDeadline(const TcpDeadline&) = delete;
  TcpDeadline& operator=(const TcpDeadline&) = delete;
  void Expect(uint64_t bytes);

 private:
  DeviceSession& m_s;
  std::string m_what;
  uint64_t m_start;
  TcpSocket::Deadline m_outer;
};

// A run of puts into one device folder, confirmed together. Over TCP/IP the
// device acknowledges nothing of a file it is sent, and a PutFile lists the
// folder after each file; a run of puts into a large folder would list it
// once per file. A batch sends its files without a listing each and checks
// them all with one listing of the folder in Confirm(). Until then none of
// them counts as put. Over a serial link, where the device acknowledges
// every block, Put is PutFile and Confirm has nothing to do.
//
// Put() takes the session's current folder (CurrentFolder()) as the batch's;
// the caller confirms before it makes another folder current. A name with a
// folder part, a put while no folder was made current, and a name already in
// the batch (in any letter case: the second would replace the first) are
// handled as ever: the batch is confirmed first, or the file is checked at
// once.
class PutBatch {
 public:
  explicit PutBatch(DeviceSession& s) : m_s(s) {}
  PutBatch(const PutBatch&) = delete;
  PutBatch& operator=(const PutBatch&) = delete;

  // As DeviceSession::PutFile, but over TCP/IP the file is left for Confirm.
  // A broken connection is DeviceError(kNoConnection) as for PutFile, and
  // then names the files of the batch that were sent before it too.
  void Put(const Bytes& deviceName, const std::string& localPath);
  // Lists the batch's folder once and checks that it shows every file of
  // the batch with the length that was sent; the batch is empty afterwards,
  // whatever the outcome. Raises DeviceError(kFailed) with the message of
  // the first file missing or short, and those of the others in its detail
  // (one a line); a broken connection is kNoConnection.
  void Confirm();
  size_t Unconfirmed() const { return m_sent.size(); }

  struct Sent {
    Bytes name;  // as the device took it (no folder part)
    uint32_t length = 0;
  };

 private:
  DeviceSession& m_s;
  Bytes m_folder;  // the current folder the files went into
  std::vector<Sent> m_sent;
  std::unordered_set<Bytes> m_names;  // m_sent's names in lower case
};

// The message for a length announced by the device beyond what the kit
// takes; `what` is "packet" or "file".
std::string RefusedLengthMessage(const char* what, uint64_t announced, uint64_t cap);

// The Tallis command line that makes a folder current: "HOME", then each
// folder name of the (normalised) path, each preceded by a blank, and a final
// blank: "\\a\\b" -> "HOME  a b ", the root -> "HOME  ".
Bytes TallisHomeLine(const Bytes& path);
// The text after the last backslash (the file part of a device name).
Bytes DeviceFilePart(const Bytes& name);

}  // namespace corvane
