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
#include "emulator/screen.h"
#include "link/link_error.h"
#include "link/termios_port.h"
#include "protocol/wire.h"

namespace corvane::emu {

std::string DefaultVersion(DeviceKind kind) {
  return kind == DeviceKind::kQuillon ? "Quillon Xmodem server 2.1" : "Tallis Xmodem server 1.4";
}

std::string KindName(DeviceKind kind) { return kind == DeviceKind::kQuillon ? "Quillon" : "Tallis"; }

namespace {

constexpr size_t kMaxPcPacket = 0xFFFF;              // the 16-bit length field
constexpr uint32_t kMaxTcpCommandPacket = 1u << 20;  // names and command lines only
constexpr uint32_t kIdleSliceMs = 100;
// How long the device waits for the PC's answer to a block it sent.
constexpr uint32_t kBlockAnswerMs = 5000;

std::string Printable(const Bytes& b) {
  std::string s;
  for (unsigned char c : b) {
    if (c >= 0x20 && c != 0x7F) s += static_cast<char>(c);
    else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      s += hex;
    }
  }
  return s;
}

std::string SysError(const std::string& what) { return what + ": " + std::strerror(errno); }

// A file being received: created beside its final name, renamed over it when
// complete, removed otherwise, so a file is whole or absent.
class IncomingFile {
 public:
  explicit IncomingFile(const fs::path& target) : m_target(target) {
    std::string pattern = (target.parent_path() / ".corvane-emu-XXXXXX").string();
    m_fd = ::mkstemp(pattern.data());
    if (m_fd >= 0) m_temp = pattern;
  }
  ~IncomingFile() {
    if (m_fd >= 0) ::close(m_fd);
    if (!m_temp.empty()) ::unlink(m_temp.c_str());
  }
  IncomingFile(const IncomingFile&) = delete;
  IncomingFile& operator=(const IncomingFile&) = delete;

  bool Ok() const { return m_fd >= 0 && !m_failed; }
  uint64_t Size() const { return m_size; }
  const Bytes& Head() const { return m_head; }
  void Append(const uint8_t* data, size_t n) {
    if (m_head.size() < kTallisHeaderSize)
      m_head.append(reinterpret_cast<const char*>(data), std::min(n, kTallisHeaderSize - m_head.size()));
    size_t done = 0;
    while (done < n && m_fd >= 0) {
      const ssize_t w = ::write(m_fd, data + done, n - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        m_failed = true;
        return;
      }
      done += static_cast<size_t>(w);
    }
    m_size += n;
  }
  // Cuts to `length` and puts the file in place.
  bool Commit(uint64_t length) {
    if (!Ok()) return false;
    if (length < m_size && ::ftruncate(m_fd, static_cast<off_t>(length)) != 0) return false;
    if (::close(m_fd) != 0) {
      m_fd = -1;
      return false;
    }
    m_fd = -1;
    if (::rename(m_temp.c_str(), m_target.c_str()) != 0) return false;
    m_temp.clear();
    return true;
  }

 private:
  fs::path m_target;
  std::string m_temp;
  int m_fd = -1;
  bool m_failed = false;
  uint64_t m_size = 0;
  Bytes m_head;
};

// The bytes a get sends: an optional made-up header, then the file.
class OutgoingFile {
 public:
  OutgoingFile(const fs::path& file, const ServedFile& served) : m_in(file, std::ios::binary), m_prefix(served.prefix) {}
  bool Ok() const { return static_cast<bool>(m_in); }
  // Fills up to n bytes; returns the count (0 at the end).
  size_t Read(uint8_t* buf, size_t n) {
    size_t got = 0;
    while (got < n && m_prefixPos < m_prefix.size()) buf[got++] = static_cast<uint8_t>(m_prefix[m_prefixPos++]);
    if (got < n && m_in) {
      m_in.read(reinterpret_cast<char*>(buf + got), static_cast<std::streamsize>(n - got));
      got += static_cast<size_t>(m_in.gcount());
    }
    return got;
  }

 private:
  std::ifstream m_in;
  Bytes m_prefix;
  size_t m_prefixPos = 0;
};

}  // namespace

// One conversation with the PC: over the serial port, or over one TCP connection.
class EmulatedDevice::Session {
 public:
  Session(EmulatedDevice& device, SerialPort* port, TcpLink* tcp, std::function<void()> onIdle)
      : m_dev(device), m_port(port), m_tcp(tcp), m_onIdle(std::move(onIdle)),
        m_tallis(device.m_options.kind == DeviceKind::kTallis) {}

  // Serves commands until 'k' (returns true), a stop request or, over TCP, the
  // end of the connection (false).
  bool Run();

 private:
  enum class Result { kContinue, kQuit };

  bool Stopping() const { return m_dev.m_stop.load(); }
  bool Serial() const { return m_port != nullptr; }
  bool LinkGone() const { return m_tcp != nullptr && m_tcp->Closed(); }

  // ---- link primitives ----
  int ReadByte(uint32_t timeoutMs);
  size_t ReadRaw(uint8_t* buf, size_t n, uint32_t timeoutMs);
  void Write(const Bytes& data);
  void Write(const uint8_t* data, size_t n);
  void DiscardUntilQuiet(uint32_t quietMs, uint32_t limitMs);
  bool ReceivePacket(Bytes& payload);
  bool SendPacket(const Bytes& payload);

  // ---- commands ----
  Result Dispatch(uint8_t command);
  void Version();
  void ChangeDir();
  void Execute();
  void List();
  void Get();
  void Put();
  void Delete();
  void Rename();
  void Open();
  void Screen();

  bool DeleteEntry(const Bytes& name);
  bool RenameEntry(const Bytes& oldName, const Bytes& newName);
  std::optional<fs::path> Resolve(const Bytes& name);  // absolute host path, inside the root

  // ---- transfers ----
  bool SendBlocks(OutgoingFile* source, const Misbehaviour& faults);
  bool ReceiveBlocks(IncomingFile& target, const Misbehaviour& faults);
  bool SendStream(OutgoingFile& source, uint64_t total, const Misbehaviour& faults);
  bool ReceiveStream(IncomingFile& target, const Misbehaviour& faults);
  // The transfer faults for the next file; they are used up by taking them.
  Misbehaviour TakeTransferFaults();
  // TCP: the length to announce for the next packet or file sent (its own
  // unless a lie is asked for) and how it drips; used up by taking them.
  struct AnswerFaults {
    uint32_t lyingLength = 0;
    uint32_t dripMs = 0;
  };
  AnswerFaults TakeAnswerFaults(uint64_t realLength);
  // TCP: writes the bytes, one every dripMs milliseconds when dripping.
  void WriteDripping(const uint8_t* data, size_t n, uint32_t dripMs);
  void WriteDripping(const Bytes& data, uint32_t dripMs) {
    WriteDripping(reinterpret_cast<const uint8_t*>(data.data()), data.size(), dripMs);
  }

  void Log(const std::string& line) { m_dev.Log(line); }

  EmulatedDevice& m_dev;
  SerialPort* m_port;
  TcpLink* m_tcp;
  std::function<void()> m_onIdle;
  bool m_tallis;
  bool m_tcpInputSinceWrite = false;
};

// ---- link primitives ----

size_t EmulatedDevice::Session::ReadRaw(uint8_t* buf, size_t n, uint32_t timeoutMs) {
  if (n == 0) return 0;
  if (Serial()) {
    SetReadTimeout(m_port, {timeoutMs, 0});
    return m_port->Read(buf, n);
  }
  const size_t got = m_tcp->Read(buf, n, timeoutMs);
  if (got > 0) m_tcpInputSinceWrite = true;
  return got;
}

int EmulatedDevice::Session::ReadByte(uint32_t timeoutMs) {
  uint8_t b = 0;
  return ReadRaw(&b, 1, timeoutMs) == 1 ? b : -1;
}

void EmulatedDevice::Session::Write(const uint8_t* data, size_t n) {
  if (Serial()) {
    WriteAll(m_port, data, n);
    return;
  }
  if (m_tcpInputSinceWrite && m_dev.m_options.turnaroundMs > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(m_dev.m_options.turnaroundMs));
  m_tcpInputSinceWrite = false;
  m_tcp->Write(data, n);
}

void EmulatedDevice::Session::Write(const Bytes& data) {
  Write(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

void EmulatedDevice::Session::DiscardUntilQuiet(uint32_t quietMs, uint32_t limitMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  uint8_t buf[256];
  while (!Stopping() && !LinkGone() && std::chrono::steady_clock::now() < until)
    if (ReadRaw(buf, sizeof buf, quietMs) == 0) break;
}

bool EmulatedDevice::Session::ReceivePacket(Bytes& payload) {
  if (!Serial()) {
    uint8_t size[4];
    if (ReadRaw(size, 4, 5000) < 4) return false;
    const uint32_t length = ReadLe32(reinterpret_cast<const char*>(size));
    if (length > kMaxTcpCommandPacket) {
      Log("Refused a command packet of " + std::to_string(length) + " bytes; closing the connection");
      m_tcp->Close();
      return false;
    }
    payload.assign(length, '\0');
    if (ReadRaw(reinterpret_cast<uint8_t*>(payload.data()), length, 5000) < length) return false;
    m_dev.AddPacket(payload);
    return true;
  }
  // The PC writes a packet at most five times; a quiet line means it gave up.
  for (int attempt = 1; attempt <= 10 && !Stopping(); ++attempt) {
    SetReadTimeout(m_port, {1000, 30});
    PacketAttempt a = ReadSerialPacketOnce(m_port, kMaxPcPacket);
    if (a.outcome == PacketAttempt::kShortSize) return false;
    if (a.outcome == PacketAttempt::kOk) {
      bool nak = false;
      m_dev.UpdateFaults([&](Misbehaviour& f) {
        if (f.nakPackets > 0) {
          --f.nakPackets;
          nak = true;
        }
      });
      if (!nak) {
        // Recorded before the ACK, so a test that saw its call return finds it.
        m_dev.AddPacket(a.payload);
        Write(Bytes(1, static_cast<char>(kAck)));
        payload = std::move(a.payload);
        return true;
      }
      Log("NAK to a good packet (on request)");
    } else {
      Log("Bad packet from the PC: NAK");
      DiscardUntilQuiet(100, 2000);
    }
    Write(Bytes(1, static_cast<char>(kNak)));
  }
  return false;
}

EmulatedDevice::Session::AnswerFaults EmulatedDevice::Session::TakeAnswerFaults(uint64_t realLength) {
  AnswerFaults taken;
  m_dev.UpdateFaults([&](Misbehaviour& f) {
    taken = {f.lyingLength, f.dripMs};
    f.lyingLength = f.dripMs = 0;
  });
  if (taken.lyingLength > 0)
    Log("Announcing " + std::to_string(taken.lyingLength) + " bytes for " + std::to_string(realLength) +
        " (on request)");
  if (taken.dripMs > 0) Log("Sending one byte every " + std::to_string(taken.dripMs) + " ms (on request)");
  return taken;
}

void EmulatedDevice::Session::WriteDripping(const uint8_t* data, size_t n, uint32_t dripMs) {
  if (dripMs == 0) {
    Write(data, n);
    return;
  }
  for (size_t i = 0; i < n && !LinkGone() && !Stopping(); ++i) {
    Write(data + i, 1);
    // Slept in slices, so that a stop request ends it at once.
    for (uint32_t slept = 0; slept < dripMs && !Stopping(); slept += 50)
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint32_t>(50, dripMs - slept)));
  }
}

bool EmulatedDevice::Session::SendPacket(const Bytes& payload) {
  if (!Serial()) {
    const AnswerFaults answer = TakeAnswerFaults(payload.size());
    Bytes framed = FrameTcpPacket(payload);
    if (answer.lyingLength > 0) framed.replace(0, 4, IntToBytes(static_cast<int32_t>(answer.lyingLength)));
    WriteDripping(framed, answer.dripMs);
    return !LinkGone();
  }
  const Bytes framed = FrameSerialPacket(payload);
  // The PC refuses a packet four times, then gives up.
  for (int send = 1; send <= 4 && !Stopping(); ++send) {
    Bytes out = framed;
    m_dev.UpdateFaults([&](Misbehaviour& f) {
      if (f.badChecksumPackets > 0) {
        --f.badChecksumPackets;
        out.back() = static_cast<char>(out.back() ^ 0xFF);
      }
    });
    Write(out);
    const int reply = ReadByte(4000);
    if (reply == kAck) return true;
    if (reply != kNak) {
      Log("No answer to a packet");
      return false;
    }
    Log("The PC refused a packet: sending it again");
  }
  return false;
}

// ---- serving ----

bool EmulatedDevice::Session::Run() {
  uint64_t idleMs = 0;
  while (!Stopping() && !LinkGone()) {
    const int command = ReadByte(kIdleSliceMs);
    if (command < 0) {
      idleMs += kIdleSliceMs;
      if (idleMs >= 1000 && m_onIdle) {
        m_onIdle();
        idleMs = 0;
      }
      continue;
    }
    idleMs = 0;
    m_dev.SetBusy(true);
    Result r = Result::kContinue;
    try {
      r = Dispatch(static_cast<uint8_t>(command));
    } catch (const std::exception& e) {
      Log(std::string("Link failure: ") + e.what());
    }
    m_dev.SetBusy(false);
    if (r == Result::kQuit) return true;
  }
  return false;
}

EmulatedDevice::Session::Result EmulatedDevice::Session::Dispatch(uint8_t command) {
  bool silent = false;
  m_dev.UpdateFaults([&](Misbehaviour& f) {
    if (f.silentCommands > 0) {
      --f.silentCommands;
      silent = true;
    }
  });
  CommandRecord record;
  record.command = static_cast<char>(command);
  record.ignored = silent;
  m_dev.Record(record);
  if (silent) {
    Log(std::string("Ignoring command '") + Printable(Bytes(1, static_cast<char>(command))) + "' (on request)");
    // Whatever the PC sends with it and its retries is swallowed too.
    DiscardUntilQuiet(1500, 20000);
    return Result::kContinue;
  }
  switch (command) {
    case 'V': Version(); break;
    case 'C': ChangeDir(); break;
    case 'E': Execute(); break;
    case 'L': List(); break;
    case 'G': Get(); break;
    case 'P': Put(); break;
    case 'D': Delete(); break;
    case 'r': Rename(); break;
    case 'o': Open(); break;
    case 'S': Screen(); break;
    case 'k':
      if (!m_tallis) {
        Log("Server quit");
        return Result::kQuit;
      }
      Log("Command 'k' ignored: a Tallis has no quit command");
      break;
    default: Log("Unknown command " + Printable(Bytes(1, static_cast<char>(command)))); break;
  }
  return Result::kContinue;
}

void EmulatedDevice::Session::Version() {
  if (m_dev.m_upgradeMode.load()) {
    Log("Version asked: answering as in upgrade mode");
    Write(Bytes(1, 'V'));
    return;
  }
  const std::string v = m_dev.m_options.version.empty() ? DefaultVersion(m_dev.m_options.kind) : m_dev.m_options.version;
  Log("Version asked: " + v);
  SendPacket(v);
}

std::optional<fs::path> EmulatedDevice::Session::Resolve(const Bytes& name) {
  const auto rel = ResolveDevicePath(m_dev.CurrentFolder(), name);
  if (!rel) {
    Log("Refused name '" + Printable(name) + "': it would leave the device's folder");
    return std::nullopt;
  }
  return m_dev.m_options.root / *rel;
}

void EmulatedDevice::Session::ChangeDir() {
  Bytes path;
  if (!ReceivePacket(path)) return;
  const auto rel = ResolveDevicePath(m_dev.CurrentFolder(), path);
  std::error_code ec;
  if (!rel || !fs::is_directory(m_dev.m_options.root / *rel, ec)) {
    Log("No such folder " + Printable(path) + "; staying in " + Printable(DevicePathOf(m_dev.CurrentFolder())));
    return;
  }
  m_dev.SetCurrentFolder(*rel);
  Log("Current folder " + Printable(DevicePathOf(*rel)));
}

void EmulatedDevice::Session::Execute() {
  Bytes line;
  if (!ReceivePacket(line)) return;
  const TallisLine t = ParseTallisLine(line);
  switch (t.kind) {
    case TallisLine::kHome: {
      // HOME, then each name in turn: a name that is not a folder stops there.
      fs::path folder;
      for (const auto& name : t.folders) {
        std::error_code ec;
        if (!IsSafeName(name) || !fs::is_directory(m_dev.m_options.root / folder / name, ec)) {
          Log("No such folder " + Printable(name) + " in " + Printable(DevicePathOf(folder)));
          break;
        }
        folder /= name;
      }
      m_dev.SetCurrentFolder(folder);
      Log("Current folder " + Printable(DevicePathOf(folder)));
      break;
    }
    case TallisLine::kPurge: DeleteEntry(t.name); break;
    case TallisLine::kRename: RenameEntry(t.name, t.newName); break;
    case TallisLine::kUnknown: Log("Command line ignored: " + Printable(line)); break;
  }
}

void EmulatedDevice::Session::List() {
  const auto entries = ReadFolder(m_dev.m_options.root / m_dev.CurrentFolder(), m_tallis);
  size_t omitted = 0;
  Bytes payload = EncodeListing(entries, m_tallis, Serial() ? kMaxSerialPacket : 0, &omitted);
  if (omitted > 0)
    Log("Listing cut to the " + std::to_string(entries.size() - omitted) + " entries that fit one packet (" +
        std::to_string(omitted) + " left out)");
  bool cut = false;
  m_dev.UpdateFaults([&](Misbehaviour& f) {
    cut = f.cutListing;
    f.cutListing = false;
  });
  if (cut && !payload.empty()) {
    payload.resize(payload.size() - std::min<size_t>(3, payload.size()));
    Log("Last listing record cut short (on request)");
  }
  Log("Listing " + Printable(DevicePathOf(m_dev.CurrentFolder())) + ": " + std::to_string(entries.size()) + " entries");
  SendPacket(payload);
}

Misbehaviour EmulatedDevice::Session::TakeTransferFaults() {
  Misbehaviour taken;
  m_dev.UpdateFaults([&](Misbehaviour& f) {
    taken = f;
    f.corruptBlock = f.repeatBlock = f.loseAckBlock = f.cancelAtBlock = f.silentAtBlock = f.dropAckBlock = f.nakBlocks = 0;
    f.closeAfterBytes = 0;
    f.endEarlyAfterBlock = 0;
    f.stallAfterBytes = 0;
  });
  return taken;
}

void EmulatedDevice::Session::Get() {
  Bytes name;
  if (!ReceivePacket(name)) return;
  const Misbehaviour faults = TakeTransferFaults();
  const auto path = Resolve(name);
  std::error_code ec;
  std::unique_ptr<OutgoingFile> source;
  ServedFile served;
  if (path && fs::is_regular_file(*path, ec)) {
    served = DescribeFile(*path, m_tallis);
    source = std::make_unique<OutgoingFile>(*path, served);
    if (!source->Ok()) source.reset();
  }
  if (!source) {
    Log("Get " + Printable(name) + ": no such file");
    if (Serial()) {
      SendBlocks(nullptr, faults);
    } else {
      // There is no way to say "no such file" in a packet: an empty one would
      // look like an empty file. Closing the connection makes it a failure.
      m_tcp->Close();
    }
    return;
  }
  Log("Get " + Printable(name) + " (" + std::to_string(served.Total()) + " bytes)");
  const bool ok = Serial() ? SendBlocks(source.get(), faults) : SendStream(*source, served.Total(), faults);
  Log(ok ? "Sent " + Printable(name) : "Sending " + Printable(name) + " failed");
}

void EmulatedDevice::Session::Put() {
  Bytes packet;
  if (!ReceivePacket(packet)) return;
  const Misbehaviour faults = TakeTransferFaults();
  // The device that loses a file it was sent over TCP/IP counts the puts.
  bool lose = false;
  if (!Serial())
    m_dev.UpdateFaults([&](Misbehaviour& f) {
      if (f.losePut > 0 && --f.losePut == 0) lose = true;
    });
  Bytes name = packet;
  std::optional<uint64_t> announced;
  if (!m_tallis) {
    // Quillon: name, 0x00, length (4 bytes, least significant first).
    const size_t zero = packet.find('\0');
    if (zero != Bytes::npos) {
      name = packet.substr(0, zero);
      if (packet.size() >= zero + 5) announced = ReadLe32(packet.data() + zero + 1);
    }
  }
  const auto path = Resolve(name);
  std::error_code ec;
  std::unique_ptr<IncomingFile> target;
  if (path && fs::is_directory(path->parent_path(), ec) && !fs::is_directory(*path, ec)) {
    target = std::make_unique<IncomingFile>(*path);
    if (!target->Ok()) {
      Log(SysError("Cannot create a file in " + path->parent_path().string()));
      target.reset();
    }
  }
  if (!target) {
    Log("Put " + Printable(name) + ": cannot store it here");
    if (Serial()) {
      // Cancel the PC's sender as soon as it waits for the start byte.
      Write(Bytes(3, static_cast<char>(kCan)));
    } else {
      Bytes ignored;
      uint8_t size[4];
      if (ReadRaw(size, 4, 5000) == 4) {
        uint64_t left = ReadLe32(reinterpret_cast<const char*>(size));
        uint8_t buf[65536];
        while (left > 0 && !LinkGone() && !Stopping()) {
          const size_t got = ReadRaw(buf, static_cast<size_t>(std::min<uint64_t>(left, sizeof buf)), 5000);
          if (got == 0) break;
          left -= got;
        }
      }
    }
    return;
  }
  Log("Put " + Printable(name));
  const bool ok = Serial() ? ReceiveBlocks(*target, faults) : ReceiveStream(*target, faults);
  if (!ok) {
    target.reset();  // removes the partial file before anyone hears of it
    Log("Receiving " + Printable(name) + " failed; nothing stored");
    return;
  }
  if (lose) {
    target.reset();
    Log("Put " + Printable(name) + ": taken whole, and nothing stored (on request)");
    return;
  }
  uint64_t length = target->Size();
  if (Serial()) {
    if (m_tallis) length = TallisReceivedLength(target->Head(), target->Size());
    else if (announced) {
      if (*announced > target->Size())
        Log("Put " + Printable(name) + ": announced " + std::to_string(*announced) + " bytes, got only " +
            std::to_string(target->Size()));
      length = std::min(*announced, target->Size());
    }
  }
  if (!target->Commit(length)) {
    Log(SysError("Cannot store " + Printable(name)));
    return;
  }
  Log("Stored " + Printable(name) + " (" + std::to_string(length) + " bytes)");
}

bool EmulatedDevice::Session::DeleteEntry(const Bytes& name) {
  const auto path = Resolve(name);
  if (!path) return false;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(*path, ec))) {
    Log("Delete " + Printable(name) + ": no such entry");
    return false;
  }
  if (!fs::remove(*path, ec)) {
    Log("Delete " + Printable(name) + " refused: " + ec.message());
    return false;
  }
  Log("Deleted " + Printable(name));
  return true;
}

bool EmulatedDevice::Session::RenameEntry(const Bytes& oldName, const Bytes& newName) {
  const auto from = Resolve(oldName);
  const auto to = Resolve(newName);
  if (!from || !to) return false;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(*from, ec))) {
    Log("Rename " + Printable(oldName) + ": no such entry");
    return false;
  }
  // Never store over an existing entry: nothing is lost by a rename.
  if (fs::exists(fs::symlink_status(*to, ec))) {
    Log("Rename " + Printable(oldName) + " refused: " + Printable(newName) + " exists");
    return false;
  }
  fs::rename(*from, *to, ec);
  if (ec) {
    Log("Rename " + Printable(oldName) + " failed: " + ec.message());
    return false;
  }
  Log("Renamed " + Printable(oldName) + " to " + Printable(newName));
  return true;
}

void EmulatedDevice::Session::Delete() {
  Bytes name;
  if (ReceivePacket(name)) DeleteEntry(name);
}

void EmulatedDevice::Session::Rename() {
  Bytes oldName, newName;
  if (!ReceivePacket(oldName) || !ReceivePacket(newName)) return;
  RenameEntry(oldName, newName);
}

void EmulatedDevice::Session::Open() {
  Bytes name;
  if (ReceivePacket(name)) Log("open " + Printable(name));
}

void EmulatedDevice::Session::Screen() {
  ScreenContent content;
  content.title = "CORVANE " + KindName(m_dev.m_options.kind);
  content.folder = DevicePathOf(m_dev.CurrentFolder());
  content.entries = ReadFolder(m_dev.m_options.root / m_dev.CurrentFolder(), m_tallis);
  // A serial capture must fit the 38912 bytes the PC takes: 4 bits per pixel.
  const Bytes bmp = DrawScreenBmp(content, Serial() ? 4 : 8);
  Log("Screen capture (" + std::to_string(bmp.size()) + " bytes)");
  const Misbehaviour faults = TakeTransferFaults();
  if (!Serial()) {
    SendPacket(bmp);
    return;
  }
  // The picture goes through the block sender as a file would: OutgoingFile
  // sends its prefix first, and with no file behind it that is all.
  ServedFile served;
  served.prefix = bmp;
  OutgoingFile source(fs::path(), served);
  SendBlocks(&source, faults);
}

// ---- transfers ----

bool EmulatedDevice::Session::SendBlocks(OutgoingFile* source, const Misbehaviour& faults) {
  // Wait for the receiver's start byte, which also chooses the trailer.
  CheckKind kind = kSum8;
  bool started = false;
  for (int waited = 0; waited < 15000 && !Stopping(); waited += 1000) {
    const int b = ReadByte(1000);
    if (b < 0) continue;
    if (b == kCan) {
      Log("The PC cancelled before the first block");
      return false;
    }
    if (CheckKindFromStartByte(static_cast<uint8_t>(b), kind)) {
      started = true;
      break;
    }
  }
  if (!started) {
    Log("No start byte from the PC");
    return false;
  }
  if (source == nullptr) {
    Write(Bytes(3, static_cast<char>(kCan)));
    return false;
  }
  uint8_t data[1024];
  bool ackLost = false;
  for (uint32_t number = 1;; ++number) {
    const BlockSize mode = m_dev.m_options.blockSize;
    const size_t n = (mode == BlockSize::k128 || (mode == BlockSize::kMixed && number % 2 == 0)) ? 128 : 1024;
    const size_t got = source->Read(data, n);
    if (got == 0) break;
    std::fill(data + got, data + n, 0x1A);  // filler of the last block
    if (faults.cancelAtBlock == static_cast<int>(number)) {
      Log("Sending CAN instead of block " + std::to_string(number) + " (on request)");
      Write(Bytes(3, static_cast<char>(kCan)));
      return false;
    }
    if (faults.silentAtBlock == static_cast<int>(number)) {
      Log("Going silent at block " + std::to_string(number) + " (on request)");
      DiscardUntilQuiet(3000, 30000);
      return false;
    }
    const Bytes block = BuildBlock(static_cast<uint8_t>(number & 0xFF), data, n, kind);
    // Ten refusals, or three silences in a row (the PC has gone), end it.
    // Any answer but ACK or CAN (a NAK, a garbled byte, none within the
    // answer time) makes the block go again.
    bool acked = false;
    int silences = 0;
    for (int tries = 1; tries <= 10 && silences < 3 && !Stopping(); ++tries) {
      Bytes out = block;
      if (tries == 1 && faults.corruptBlock == static_cast<int>(number)) {
        out.back() = static_cast<char>(out.back() ^ 0x5A);
        Log("Block " + std::to_string(number) + " sent damaged (on request)");
      }
      Write(out);
      int reply = ReadByte(kBlockAnswerMs);
      if (reply == kAck && !ackLost && faults.loseAckBlock == static_cast<int>(number)) {
        // The line ate the ACK: the device waits for an answer as if none had
        // come, and sends the block again after whatever ends that wait.
        ackLost = true;
        Log("ACK of block " + std::to_string(number) + " lost (on request)");
        reply = ReadByte(kBlockAnswerMs);
      }
      silences = reply < 0 ? silences + 1 : 0;
      if (reply == kAck) {
        acked = true;
        break;
      }
      if (reply == kCan) {
        Log("The PC cancelled at block " + std::to_string(number));
        return false;
      }
    }
    if (!acked) {
      Log("Block " + std::to_string(number) + " was not accepted; transfer abandoned");
      return false;
    }
    if (faults.repeatBlock == static_cast<int>(number)) {
      // As a sender that missed the ACK would: the same block once more.
      Log("Block " + std::to_string(number) + " sent again (on request)");
      Write(block);
      ReadByte(kBlockAnswerMs);
    }
    if (faults.endEarlyAfterBlock == static_cast<int>(number)) {
      // The end goes again for as long as the PC refuses it (below).
      Log("Ending the file after block " + std::to_string(number) + " (on request)");
      break;
    }
  }
  for (int tries = 1; tries <= 10 && !Stopping(); ++tries) {
    Write(Bytes(1, static_cast<char>(kEot)));
    if (ReadByte(3000) == kAck) return true;
  }
  return false;
}

bool EmulatedDevice::Session::ReceiveBlocks(IncomingFile& target, const Misbehaviour& faults) {
  CheckKind kind = kSum8;
  uint8_t start = kNak;
  switch (m_dev.m_options.startByte) {
    case StartByte::kNak: kind = kSum8; start = kNak; break;
    case StartByte::kCrc: kind = kCrc16Arc; start = kStartCrc; break;
    case StartByte::kKermit: kind = kCrc16Kermit; start = kStartKermit; break;
  }
  Write(Bytes(1, static_cast<char>(start)));
  uint32_t expected = 1;
  bool ackDropped = false;
  int nakBlocks = 0;
  int misses = 0;
  const size_t trailer = TrailerSize(kind);
  while (!Stopping()) {
    // Longer than a sender waits for an answer, so a sender that missed our
    // ACK resends before we ask again.
    const int header = ReadByte(5000);
    if (header < 0) {
      // A sender resends within three seconds; four silent waits mean it has gone.
      if (++misses > 3) {
        Log("The PC stopped sending");
        return false;
      }
      // Nothing yet: ask again, with the start byte before the first block.
      Write(Bytes(1, static_cast<char>(expected == 1 ? start : kNak)));
      continue;
    }
    if (header == kEot) {
      Write(Bytes(1, static_cast<char>(kAck)));
      return target.Ok();
    }
    if (header == kCan) {
      Log("The PC cancelled the transfer");
      return false;
    }
    if (header != kSoh && header != kStx) {
      DiscardUntilQuiet(100, 2000);
      Write(Bytes(1, static_cast<char>(kNak)));
      continue;
    }
    const size_t n = header == kSoh ? 128 : 1024;
    Bytes rest(n + 2 + trailer, '\0');
    SetReadTimeout(m_port, {3000, 0});
    const int got = ReadInto(m_port, rest);
    const auto number = static_cast<uint8_t>(rest[0]);
    const auto* data = reinterpret_cast<const uint8_t*>(rest.data() + 2);
    const bool whole = static_cast<size_t>(got) == rest.size() &&
                       static_cast<uint8_t>(rest[1]) == static_cast<uint8_t>(255 - number) &&
                       rest.compare(n + 2, trailer, BlockTrailer(kind, data, n)) == 0;
    if (!whole) {
      Log("Damaged block: NAK");
      DiscardUntilQuiet(100, 2000);
      Write(Bytes(1, static_cast<char>(kNak)));
      continue;
    }
    misses = 0;
    if (number == static_cast<uint8_t>((expected - 1) & 0xFF) && expected > 1) {
      // Our ACK went missing and the block came again: keep the first copy.
      Write(Bytes(1, static_cast<char>(kAck)));
      continue;
    }
    if (number != static_cast<uint8_t>(expected & 0xFF)) {
      Log("Block " + std::to_string(number) + " out of order: NAK");
      Write(Bytes(1, static_cast<char>(kNak)));
      continue;
    }
    if (faults.cancelAtBlock == static_cast<int>(expected)) {
      Log("Answering block " + std::to_string(expected) + " with CAN (on request)");
      Write(Bytes(3, static_cast<char>(kCan)));
      return false;
    }
    if (faults.silentAtBlock == static_cast<int>(expected)) {
      Log("Going silent at block " + std::to_string(expected) + " (on request)");
      DiscardUntilQuiet(3000, 30000);
      return false;
    }
    if (nakBlocks < faults.nakBlocks) {
      ++nakBlocks;
      Log("NAK to good block " + std::to_string(expected) + " (on request)");
      Write(Bytes(1, static_cast<char>(kNak)));
      continue;
    }
    target.Append(data, n);
    ++expected;
    if (!ackDropped && faults.dropAckBlock == static_cast<int>(expected - 1)) {
      ackDropped = true;
      Log("ACK of block " + std::to_string(expected - 1) + " dropped (on request)");
      continue;
    }
    Write(Bytes(1, static_cast<char>(kAck)));
  }
  return false;
}

bool EmulatedDevice::Session::SendStream(OutgoingFile& source, uint64_t total, const Misbehaviour& faults) {
  const AnswerFaults answer = TakeAnswerFaults(total);
  const uint32_t announced =
      answer.lyingLength > 0 ? answer.lyingLength : static_cast<uint32_t>(std::min<uint64_t>(total, UINT32_MAX));
  WriteDripping(IntToBytes(static_cast<int32_t>(announced)), answer.dripMs);
  std::vector<uint8_t> buf(64 * 1024);
  uint64_t sent = 0;
  while (sent < total && !LinkGone() && !Stopping()) {
    size_t n = source.Read(buf.data(), buf.size());
    if (n == 0) break;
    if (faults.closeAfterBytes > 0 && sent + n >= faults.closeAfterBytes) {
      WriteDripping(buf.data(), static_cast<size_t>(faults.closeAfterBytes - sent), answer.dripMs);
      Log("Closing the connection after " + std::to_string(faults.closeAfterBytes) + " bytes (on request)");
      m_tcp->Close();
      return false;
    }
    WriteDripping(buf.data(), n, answer.dripMs);
    sent += n;
  }
  return sent == total && !LinkGone();
}

bool EmulatedDevice::Session::ReceiveStream(IncomingFile& target, const Misbehaviour& faults) {
  uint8_t size[4];
  if (ReadRaw(size, 4, 5000) < 4) return false;
  const uint64_t length = ReadLe32(reinterpret_cast<const char*>(size));
  std::vector<uint8_t> buf(64 * 1024);
  uint64_t got = 0;
  while (got < length && !Stopping()) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(length - got, buf.size()));
    if (faults.closeAfterBytes > 0) {
      if (got >= faults.closeAfterBytes) {
        Log("Closing the connection after " + std::to_string(got) + " bytes (on request)");
        m_tcp->Close();
        return false;
      }
      want = static_cast<size_t>(std::min<uint64_t>(want, faults.closeAfterBytes - got));
    }
    if (faults.stallAfterBytes > 0) {
      if (got >= faults.stallAfterBytes) {
        // Reads nothing more: the PC's bytes pile up until its sends block.
        Log("Not reading after " + std::to_string(got) + " bytes (on request)");
        while (!Stopping() && !m_tcp->WaitForPeerClose(50)) {
        }
        m_tcp->Close();
        return false;
      }
      want = static_cast<size_t>(std::min<uint64_t>(want, faults.stallAfterBytes - got));
    }
    const size_t n = ReadRaw(buf.data(), want, 5000);
    if (n == 0) return false;
    target.Append(buf.data(), n);
    got += n;
  }
  return got == length && target.Ok();
}

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
