#pragma once
// The emulated device's side of one conversation with the PC, shared by the
// files that implement it: the link primitives, the serving of commands, the
// transfers, and the device that owns the sessions.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include "emulator/device_files.h"
#include "emulator/device_link.h"
#include "emulator/emulated_device.h"
#include "link/link_error.h"
#include "protocol/wire.h"

namespace corvane::emu {

namespace session_detail {

constexpr size_t kMaxPcPacket = 0xFFFF;              // the 16-bit length field
constexpr uint32_t kMaxTcpCommandPacket = 1u << 20;  // names and command lines only
constexpr uint32_t kIdleSliceMs = 100;
// How long the device waits for the PC's answer to a block it sent.
constexpr uint32_t kBlockAnswerMs = 5000;

inline std::string Printable(const Bytes& b) {
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

inline std::string SysError(const std::string& what) { return what + ": " + std::strerror(errno); }

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

}  // namespace session_detail

using session_detail::IncomingFile;
using session_detail::OutgoingFile;

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

}  // namespace corvane::emu
