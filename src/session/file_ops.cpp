// File operations and the screen capture: the commands of both device kinds,
// block transfers under the status dialog on a serial link, and streamed
// single packets over TCP/IP.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "link/cancel_signal.h"
#include "link/link_error.h"
#include "protocol/local_file.h"
#include "protocol/progress.h"
#include "protocol/wire.h"
#include "protocol/block_receiver.h"
#include "protocol/block_sender.h"
#include "session/device_session.h"

namespace corvane {
namespace {

constexpr int64_t kTallisHeaderBytes = 9;
constexpr int64_t kScreenBytes = 38912;
constexpr uint32_t kGetPauseMs = 500;
constexpr uint32_t kPutPauseMs = 1000;
constexpr uint32_t kChangePauseMs = 1000;
constexpr size_t kTcpChunk = 64 * 1024;
constexpr uint64_t kTcpReportEveryMs = 250;
constexpr const char* kTcpCancelledText = "Cancelled: the connection was closed. Connect again to go on";

// Quillon drivers go to fixed names on the device, whatever name was asked for.
struct DriverName {
  const char* local;
  const char* device;
};
constexpr DriverName kDriverNames[] = {
    {"DISPDRV.DLL", "ddi.dll"},
    {"ZEPHTOUCH.DLL", "touch.dll"},
    {"KEYDRV1.DLL", "keybddr.dll"},
};

std::string UpperAscii(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

Bytes DeviceNameForDriver(const Bytes& deviceName, const std::string& localPath) {
  const std::string file = UpperAscii(LocalFileName(localPath));
  for (const auto& d : kDriverNames)
    if (file == d.local) return d.device;
  return deviceName;
}

// The pause after a transfer, which gives the device time before its next
// command; kept also when an error passes, skipped when the program is
// ending (nobody will send that command).
class PauseOnExit {
 public:
  PauseOnExit(DeviceSession& s, uint32_t ms) : m_s(s), m_ms(ms) {}
  ~PauseOnExit() { m_s.Cancel().Pause(m_s.GetClock(), m_ms); }
  PauseOnExit(const PauseOnExit&) = delete;
  PauseOnExit& operator=(const PauseOnExit&) = delete;

 private:
  DeviceSession& m_s;
  uint32_t m_ms;
};

// Runs a transfer on the serial port under the transfer dialog. Its Cancel
// wakes the transfer's wait on the port at once; the transfer then sends its
// cancel bytes and fails. Its pauses end early when the program is ending. A
// failure was reported in the dialog and the log by the transfer itself.
// `setUp` may adjust the worker before it runs.
template <class Worker, class SetUp, class... Args>
void RunSetUpUnderStatus(DeviceSession& s, const std::string& caption, SetUp&& setUp, Args&&... args) {
  s.BeginStatus(caption, true);
  CancelBinding<SerialPort> wake(s.Handle(), s.Cancel());
  PauseEndingClock clock(s.GetClock(), s.Cancel());
  Worker worker(s.Handle(), std::forward<Args>(args)..., clock, &s.CancelFlag());
  setUp(worker);
  if (!worker.Run()) throw DeviceError(worker.FailureKind(), worker.FailureMessage()).MarkReported();
}

template <class Worker, class... Args>
void RunUnderStatus(DeviceSession& s, const std::string& caption, Args&&... args) {
  RunSetUpUnderStatus<Worker>(s, caption, [](Worker&) {}, std::forward<Args>(args)...);
}

// A TCP/IP transfer under the transfer dialog: its progress as the chunks
// go (a few times a second), and Cancel, which also wakes a wait on the
// socket. The device is in the middle of one packet then and cannot be told,
// so the connection is closed.
class TcpTransfer {
 public:
  TcpTransfer(DeviceSession& s, const std::string& caption, TransferPhase phase)
      : m_s(s), m_report(s.ThreadMessage()), m_phase(phase), m_start(s.GetClock().NowMs()) {
    s.BeginStatus(caption, true);
    s.Socket.SetCancel(&s.Cancel());
  }
  ~TcpTransfer() {
    m_s.Socket.SetCancel(nullptr);
    try {
      m_report(TextReport(kReportFinished, ""));
    } catch (...) {
      // nobody left to tell
    }
  }
  TcpTransfer(const TcpTransfer&) = delete;
  TcpTransfer& operator=(const TcpTransfer&) = delete;

  void Progress(int64_t done, int64_t total) {
    const uint64_t now = m_s.GetClock().NowMs();
    if (m_reported && done < total && now - m_lastReport < kTcpReportEveryMs) return;
    m_reported = true;
    m_lastReport = now;
    m_report(ProgressReport(m_phase, done, total, now - m_start));
  }
  void CheckCancel() {
    if (!m_s.CancelFlag().load()) return;
    m_report(TextReport(kReportMessage, kTcpCancelledText));
    m_s.Socket.Close();
    throw DeviceError(ErrorKind::kCancelled, kTcpCancelledText).MarkReported();
  }

 private:
  DeviceSession& m_s;
  ReportHandler m_report;
  TransferPhase m_phase;
  uint64_t m_start;
  uint64_t m_lastReport = 0;
  bool m_reported = false;
};

void OpenTarget(ReplacingFile& file, const std::string& localPath) {
  if (const int err = file.Open(localPath); err != 0)
    LinkError("Unable to open file " + localPath + ": " + Detail(err), ErrorKind::kLocalFile);
}

// Receives one TCP/IP packet straight into the file: the 4-byte length, then
// the payload in chunks, never all of it in memory. The file replaces the
// target only when every byte arrived.
void ReceiveTcpFile(DeviceSession& s, ReplacingFile& file, const std::string& caption, const std::string& what) {
  TcpTransfer transfer(s, caption, TransferPhase::kReceiving);
  TcpDeadline deadline(s, what);
  uint8_t size[4];
  for (size_t got = 0; got < 4;) {
    const size_t r = s.Socket.Receive(size + got, 4 - got);
    if (r == 0) {
      transfer.CheckCancel();  // woken by Cancel
      ConnectionError();
    }
    got += r;
  }
  const uint32_t length = ReadLe32(reinterpret_cast<const char*>(size));
  if (length > kMaxTcpPacket) {
    s.Log("Refused a packet of " + std::to_string(length) + " bytes from the device");
    s.Socket.Close();
    throw DeviceError(ErrorKind::kNoConnection, RefusedLengthMessage("file", length, kMaxTcpPacket));
  }
  deadline.Expect(4 + uint64_t{length});
  std::vector<char> chunk(std::min<size_t>(kTcpChunk, std::max<uint32_t>(length, 1)));
  int writeError = 0;
  for (uint32_t left = length; left > 0;) {
    transfer.Progress(length - left, length);
    transfer.CheckCancel();
    const size_t r = s.Socket.Receive(chunk.data(), std::min<size_t>(chunk.size(), left));
    if (r == 0) {
      transfer.CheckCancel();  // woken by Cancel
      ConnectionError();       // the device closed the connection mid-file
    }
    // After a failed write the rest is still read, so that the link stays in step.
    if (writeError == 0) writeError = file.Write(chunk.data(), r);
    left -= static_cast<uint32_t>(r);
  }
  transfer.Progress(length, length);
  if (writeError == 0) writeError = file.Commit();
  if (writeError != 0) LinkError("Cannot write to file " + file.Target() + ": " + Detail(writeError), ErrorKind::kLocalFile);
}

Bytes LowerAscii(const Bytes& s) {
  Bytes out = s;
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// The files of a listing by name. A name the device lists in other letters
// counts (it may keep a name's letter case its own way); a file listed in
// the same letters is taken before one in other letters.
class ListedFiles {
 public:
  explicit ListedFiles(const std::vector<ListingEntry>& list) : m_list(list) {
    for (size_t i = 0; i < list.size(); ++i) {
      if (list[i].kind != kKindFile) continue;
      m_same.emplace(list[i].name, i);  // the first of a name stays
      m_other.emplace(LowerAscii(list[i].name), i);
    }
  }
  const ListingEntry* Find(const Bytes& name) const {
    if (const auto it = m_same.find(name); it != m_same.end()) return &m_list[it->second];
    if (const auto it = m_other.find(LowerAscii(name)); it != m_other.end()) return &m_list[it->second];
    return nullptr;
  }

 private:
  const std::vector<ListingEntry>& m_list;
  std::unordered_map<Bytes, size_t> m_same;
  std::unordered_map<Bytes, size_t> m_other;
};

// Why the listing does not show `file` as a put of `length` bytes left it,
// or "" when it does. A Quillon lists the file with the length it was sent
// with; a Tallis lists the size of the object it made of the bytes, not
// their count.
std::string PutCheckFailure(const DeviceSession& s, const ListedFiles& files, const Bytes& file, uint32_t length) {
  const ListingEntry* found = files.Find(file);
  if (found == nullptr)
    return "The device does not list " + file + " after it was sent: it did not store the file. Check the space "
           "left on the device and put it again";
  if (s.IsQuillon && found->size != length)
    return "The device lists " + file + " with " + std::to_string(found->size) + " bytes, not the " +
           std::to_string(length) + " that were sent: it did not store the whole file. Check the space left on "
           "the device and put it again";
  return "";
}

// Over TCP/IP the device acknowledges neither the file nor its end: its
// listing of the folder after the transfer is the only word that it stored
// the file. `name` is the name the file was put under.
void ConfirmTcpPut(DeviceSession& s, const Bytes& name, uint32_t length) {
  const Bytes file = DeviceFilePart(name);
  s.Log("Checking that the device holds " + file);
  std::vector<ListingEntry> list;
  const size_t slash = name.rfind('\\');
  if (slash == Bytes::npos) {
    list = s.ListCurrentFolder(0);
  } else {
    // A name with a folder part: that folder is listed (a relative one below
    // the current folder, as the device took it), then the current folder is
    // made current again.
    const Bytes back = s.CurrentFolder();
    const Bytes folder = name.substr(0, slash);
    list = s.ListFolder(slash == 0 ? Bytes("\\") : folder[0] == '\\' ? folder : back + folder);
    if (!back.empty()) s.ChangeDir(back);
  }
  if (const std::string why = PutCheckFailure(s, ListedFiles(list), file, length); !why.empty()) LinkError(why);
}

// Sends the open file as one TCP/IP packet: the 4-byte length, then the
// contents in chunks; then, with `confirm`, asks the device's listing whether
// it took it (without, a PutBatch asks later, and the file's progress stops
// short of its end). A connection that ends before that is a failure,
// whatever went out.
void SendTcpFile(DeviceSession& s, InputFile& file, const Bytes& name, uint32_t length, const std::string& caption,
                 bool confirm) {
  TcpTransfer transfer(s, caption, TransferPhase::kSending);
  const Bytes filePart = DeviceFilePart(name);
  try {
    TcpDeadline deadline(s, "taking the file " + filePart);
    deadline.Expect(4 + uint64_t{length});
    const Bytes header = IntToBytes(static_cast<int32_t>(length));
    s.Socket.Send(header.data(), header.size());
    transfer.CheckCancel();  // a Send woken by Cancel returns with bytes unsent
    std::vector<char> chunk(kTcpChunk);
    for (uint32_t left = length; left > 0;) {
      transfer.Progress(length - left, length);
      transfer.CheckCancel();
      int err = 0;
      const size_t want = std::min<size_t>(chunk.size(), left);
      const size_t got = file.Read(chunk.data(), want, err);
      if (err != 0 || got < want) {
        // The device waits for bytes that will not come: the link is out of step.
        s.Socket.Close();
        LinkError("Cannot read from file: " + Detail(err != 0 ? err : EIO), ErrorKind::kLocalFile);
      }
      s.Socket.Send(chunk.data(), got);
      transfer.CheckCancel();
      left -= static_cast<uint32_t>(got);
    }
    // A socket that closed on the way sends nothing and says nothing.
    if (!s.Socket.Active()) ConnectionError();
  } catch (const DeviceError& e) {
    if (e.Kind() != ErrorKind::kNoConnection) throw;
    transfer.CheckCancel();  // a wait woken by Cancel
    throw DeviceError(ErrorKind::kNoConnection,
                      "The connection broke before the device had taken all of " + filePart +
                          ": it may not have the file. Connect again and put it again",
                      e.what());
  }
  if (!confirm) return;
  try {
    ConfirmTcpPut(s, name, length);
  } catch (const DeviceError& e) {
    if (e.Kind() != ErrorKind::kNoConnection) throw;
    transfer.CheckCancel();
    throw DeviceError(ErrorKind::kNoConnection,
                      "The connection broke before the device confirmed that it holds " + filePart +
                          ": it may not have the file. Connect again and look, or put it again",
                      e.what());
  }
  transfer.Progress(length, length);
}

}  // namespace

void DeviceSession::GetFile(const Bytes& deviceName, const std::string& localPath, int64_t size) {
  CheckEntryName(deviceName);
  CheckConnected();
  const Bytes part = DeviceFilePart(deviceName);
  ReplacingFile target;
  OpenTarget(target, localPath);  // before the device is asked for anything
  Log("Requesting file " + part);
  SendCommand('G');
  SendPacket(deviceName);
  Log("Copying " + part);
  if (IsTcp()) {
    ReceiveTcpFile(*this, target, "Copying " + part, "the file " + part);
    return;
  }
  const int64_t expected = FetchedSize(size);
  PauseOnExit pause(*this, kGetPauseMs);
  // The listed size is what must come: a file that ends before it is not kept.
  RunSetUpUnderStatus<BlockReceiver>(
      *this, "Copying " + part, [](BlockReceiver& rx) { rx.SetLengthIsExact(true); }, expected, ThreadMessage(),
      target, localPath);
}

int64_t ConnectionState::FetchedSize(int64_t size) const {
  // A Tallis object comes with its 9-byte header, which the listing does not count.
  return size + (quillon || tcp ? 0 : kTallisHeaderBytes);
}

int64_t DeviceSession::FetchedSize(int64_t size) const {
  ConnectionState link;
  link.quillon = IsQuillon;
  link.tcp = IsTcp();
  return link.FetchedSize(size);
}

namespace {

// The name a put of `localPath` as `deviceName` goes under.
Bytes PutName(const DeviceSession& s, const Bytes& deviceName, const std::string& localPath) {
  return s.IsQuillon ? DeviceNameForDriver(deviceName, localPath) : deviceName;
}

// A put under `name` (PutName's). Over TCP/IP, with `confirm`, the listing
// is asked whether the device took it. Returns the length that was sent.
uint32_t SendPut(DeviceSession& s, const Bytes& name, const std::string& localPath, bool confirm) {
  s.CheckEntryName(name);
  s.CheckConnected();
  // The local file is opened before anything is sent, so that a missing file
  // leaves the device untouched.
  InputFile file;
  if (const int err = file.Open(localPath); err != 0)
    LinkError("Unable to open file " + localPath + ": " + Detail(err), ErrorKind::kLocalFile);
  const int64_t length = file.Size();
  if (length > int64_t{0xFFFFFFFF} && (s.IsQuillon || s.IsTcp()))
    LinkError("The file " + localPath + " is too large for the device");

  s.Log("Sending PUT command");
  s.SendCommand('P');
  if (s.IsQuillon) {
    Bytes packet = name;
    packet += '\0';
    packet += IntToBytes(static_cast<int32_t>(static_cast<uint32_t>(length)));
    s.SendPacket(packet);
  } else {
    s.SendPacket(name);
  }
  s.Log("Copying " + DeviceFilePart(name));
  if (s.IsTcp()) {
    SendTcpFile(s, file, name, static_cast<uint32_t>(length), "Copying " + name, confirm);
    return static_cast<uint32_t>(length);
  }
  // The file opened above goes, by the length the device was told (or, on a
  // Tallis, the length it had when it was opened).
  PauseOnExit pause(s, kPutPauseMs);
  RunUnderStatus<BlockSender>(s, "Copying " + name, s.ThreadMessage(), file, localPath);
  return static_cast<uint32_t>(length);
}

// "a.bin, b.bin, c.bin and 4 more": the first few names of a batch.
std::string SomeNames(const std::vector<PutBatch::Sent>& sent) {
  constexpr size_t kShown = 3;
  std::string out;
  for (size_t i = 0; i < sent.size() && i < kShown; ++i) out += (i == 0 ? "" : ", ") + ShownName(sent[i].name);
  if (sent.size() > kShown) out += " and " + std::to_string(sent.size() - kShown) + " more";
  return out;
}

// The most files of a failed check whose messages are given one by one.
constexpr size_t kMostFailuresShown = 20;

}  // namespace

void DeviceSession::PutFile(const Bytes& deviceName, const std::string& localPath) {
  SendPut(*this, PutName(*this, deviceName, localPath), localPath, true);
}

// ---- PutBatch ----

void PutBatch::Put(const Bytes& deviceName, const std::string& localPath) {
  const Bytes name = PutName(m_s, deviceName, localPath);
  if (!m_s.IsTcp() || m_s.CurrentFolder().empty() || name.find('\\') != Bytes::npos) {
    // Acknowledged block by block, or a folder this batch cannot name: as ever.
    SendPut(m_s, name, localPath, true);
    return;
  }
  const Bytes key = LowerAscii(name);
  if (!m_sent.empty() && (m_folder != m_s.CurrentFolder() || m_names.count(key) != 0)) Confirm();
  m_folder = m_s.CurrentFolder();
  try {
    const uint32_t length = SendPut(m_s, name, localPath, false);
    m_sent.push_back({name, length});
    m_names.insert(key);
  } catch (const DeviceError& e) {
    if (e.Kind() != ErrorKind::kNoConnection || m_sent.empty()) throw;
    // The files before it were sent, and no listing has shown them yet.
    std::vector<Sent> lost;
    lost.swap(m_sent);
    m_names.clear();
    std::string detail = e.Detail();
    if (!detail.empty()) detail += "\n";
    detail += lost.size() == 1
                  ? "Nor had the device confirmed " + ShownName(lost[0].name) + ", sent before it to " +
                        ShownName(m_folder) + ": it may not have it either. Put it again too"
                  : "Nor had the device confirmed the " + std::to_string(lost.size()) + " files sent before it to " +
                        ShownName(m_folder) + " (" + SomeNames(lost) +
                        "): it may not have them either. Put them again too";
    throw DeviceError(ErrorKind::kNoConnection, e.what(), detail);
  }
}

void PutBatch::Confirm() {
  if (m_sent.empty()) return;
  std::vector<Sent> sent;
  sent.swap(m_sent);
  m_names.clear();
  const bool one = sent.size() == 1;
  const std::string files = one ? ShownName(sent[0].name)
                                : "the " + std::to_string(sent.size()) + " files sent to " + ShownName(m_folder);
  TcpTransfer transfer(m_s, "Checking " + ShownName(m_folder), TransferPhase::kSending);
  m_s.Log("Checking that the device holds " + (one ? sent[0].name : files));
  std::vector<ListingEntry> list;
  try {
    if (m_s.CurrentFolder() == m_folder) {
      list = m_s.ListCurrentFolder(0);
    } else {
      const Bytes back = m_s.CurrentFolder();
      list = m_s.ListFolder(m_folder);
      if (!back.empty()) m_s.ChangeDir(back);
    }
  } catch (const DeviceError& e) {
    if (e.Kind() != ErrorKind::kNoConnection) throw;
    transfer.CheckCancel();
    throw DeviceError(ErrorKind::kNoConnection,
                      "The connection broke before the device confirmed that it holds " + files +
                          (one ? "" : " (" + SomeNames(sent) + ")") + ": it may not have " +
                          (one ? "the file. Connect again and look, or put it again"
                               : "them. Connect again and look, or put them again"),
                      e.what());
  }
  const ListedFiles listed(list);
  std::string first;
  std::vector<std::string> others;
  size_t failed = 0;
  for (const Sent& put : sent) {
    std::string why = PutCheckFailure(m_s, listed, put.name, put.length);
    if (why.empty()) continue;
    if (++failed == 1) first = std::move(why);
    else if (others.size() < kMostFailuresShown) others.push_back(std::move(why));
  }
  if (failed == 0) return;
  std::string detail;
  for (const std::string& line : others) detail += (detail.empty() ? "" : "\n") + line;
  if (failed > 1 + others.size())
    detail += "\nand " + std::to_string(failed - 1 - others.size()) + " more files the device does not list whole";
  throw DeviceError(ErrorKind::kFailed, "Error (" + first + ")", detail);
}

void DeviceSession::DeleteItem(const Bytes& name) {
  CheckEntryName(name);
  CheckConnected();
  if (IsQuillon) {
    SendCommand('D');
    SendPacket(name);
    GetClock().SleepMs(kChangePauseMs);
    return;
  }
  SendCommand('E');
  SendPacket("'" + name + "' PURGE");
}

void DeviceSession::RenameItem(const Bytes& oldName, const Bytes& newName) {
  CheckEntryName(oldName);
  CheckEntryName(newName);
  CheckConnected();
  if (IsQuillon) {
    SendCommand('r');
    SendPacket(oldName);
    SendPacket(newName);
  } else {
    // Recall the object, purge the old name, store it under the new one.
    SendCommand('E');
    SendPacket("'" + oldName + "' DUP RCL SWAP PURGE'" + newName + "' STO");
  }
  GetClock().SleepMs(kChangePauseMs);
}

void DeviceSession::OpenItem(const Bytes& name) {
  CheckEntryName(name);
  CheckConnected();
  SendCommand('o');
  SendPacket(name);
}

void DeviceSession::CaptureScreen(const std::string& localPath) {
  CheckConnected();
  Log("Capturing screen");
  if (IsTcp()) {
    ReplacingFile file;
    OpenTarget(file, localPath);
    SendCommand('S');
    ReceiveTcpFile(*this, file, "Receiving Screen", "the screen");
    return;
  }
  SendCommand('S');
  // At most 38 blocks of the bitmap are kept, whatever the device sends.
  RunUnderStatus<BlockReceiver>(*this, "Receiving Screen", kScreenBytes, ThreadMessage(), localPath);
  Log("Screen received");
}

}  // namespace corvane
