// File operations and the screen capture: the commands of both device kinds,
// block transfers under the status dialog on a serial link, and streamed
// single packets over TCP/IP.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
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
    LinkError("Unable to open file " + localPath + " " + std::to_string(err), ErrorKind::kLocalFile);
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
  if (writeError != 0) LinkError("Cannot write to file " + file.Target() + " " + std::to_string(writeError), ErrorKind::kLocalFile);
}

// Over TCP/IP the device acknowledges neither the file nor its end: its
// listing of the folder after the transfer is the only word that it stored
// the file. `name` is the name the file was put under. A Quillon lists the
// file with the length it was sent with.
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
  const auto same = [&](const Bytes& listed) {
    return listed.size() == file.size() && std::equal(listed.begin(), listed.end(), file.begin(), [](char a, char b) {
             return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
  };
  const ListingEntry* found = nullptr;
  for (const auto& e : list)
    if (e.kind == kKindFile && (e.name == file || (found == nullptr && same(e.name)))) {
      found = &e;
      if (e.name == file) break;
    }
  if (found == nullptr)
    LinkError("The device does not list " + file + " after it was sent: it did not store the file. Check the space "
              "left on the device and put it again");
  // A Tallis lists the size of the object it made of the bytes, not their count.
  if (s.IsQuillon && found->size != length)
    LinkError("The device lists " + file + " with " + std::to_string(found->size) + " bytes, not the " +
              std::to_string(length) + " that were sent: it did not store the whole file. Check the space left "
              "on the device and put it again");
}

// Sends the open file as one TCP/IP packet: the 4-byte length, then the
// contents in chunks; then asks the device's listing whether it took it.
// A connection that ends before that is a failure, whatever went out.
void SendTcpFile(DeviceSession& s, InputFile& file, const Bytes& name, uint32_t length, const std::string& caption) {
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
        LinkError("Cannot read from file " + std::to_string(err != 0 ? err : EIO), ErrorKind::kLocalFile);
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

int64_t DeviceSession::FetchedSize(int64_t size) const {
  // A Tallis object comes with its 9-byte header, which the listing does not count.
  return size + (IsQuillon || IsTcp() ? 0 : kTallisHeaderBytes);
}

void DeviceSession::PutFile(const Bytes& deviceName, const std::string& localPath) {
  const Bytes name = IsQuillon ? DeviceNameForDriver(deviceName, localPath) : deviceName;
  CheckEntryName(name);
  CheckConnected();
  // The local file is opened before anything is sent, so that a missing file
  // leaves the device untouched.
  InputFile file;
  if (const int err = file.Open(localPath); err != 0)
    LinkError("Unable to open file " + localPath + " " + std::to_string(err), ErrorKind::kLocalFile);
  const int64_t length = file.Size();
  if (length > int64_t{0xFFFFFFFF} && (IsQuillon || IsTcp()))
    LinkError("The file " + localPath + " is too large for the device");

  Log("Sending PUT command");
  SendCommand('P');
  if (IsQuillon) {
    Bytes packet = name;
    packet += '\0';
    packet += IntToBytes(static_cast<int32_t>(static_cast<uint32_t>(length)));
    SendPacket(packet);
  } else {
    SendPacket(name);
  }
  Log("Copying " + DeviceFilePart(name));
  if (IsTcp()) {
    SendTcpFile(*this, file, name, static_cast<uint32_t>(length), "Copying " + name);
    return;
  }
  // The file opened above goes, by the length the device was told (or, on a
  // Tallis, the length it had when it was opened).
  PauseOnExit pause(*this, kPutPauseMs);
  RunUnderStatus<BlockSender>(*this, "Copying " + name, ThreadMessage(), file, localPath);
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
