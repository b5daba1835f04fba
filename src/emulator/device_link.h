#pragma once
// The device's ends of the two links: a serial port that a stop request can
// interrupt and that can be paced at a line rate, and one TCP connection.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "link/bytes.h"
#include "link/serial_port.h"

namespace corvane::emu {

// Wraps the pseudo-terminal's port. Reads keep the caller's total deadline
// but wait in slices of at most 50 ms, so that `stop` ends any wait at once
// (the read then returns short, as on a time-out). With a line rate, writes
// go out in small chunks at baud / 10 bytes per second, the first write
// after input has arrived waits the turnaround delay first, and reads hand
// over what came no faster than the line would have carried it (a block is
// acknowledged one line time after it began to arrive).
class DevicePort final : public SerialPort {
 public:
  DevicePort(SerialPort& inner, const std::atomic<bool>& stop);
  void SetPacing(uint32_t baud, uint32_t turnaroundMs);

  void SetReadTimeout(ReadTimeout timeout) override;
  ReadTimeout GetReadTimeout() const override { return m_timeout; }
  size_t Read(uint8_t* buf, size_t n) override;
  void Write(const uint8_t* buf, size_t n) override;
  void Purge() override { m_inner.Purge(); }
  Clock& GetClock() override { return m_inner.GetClock(); }
  std::string Name() const override { return m_inner.Name(); }

 private:
  SerialPort& m_inner;
  const std::atomic<bool>& m_stop;
  ReadTimeout m_timeout;
  uint32_t m_baud = 0;
  uint32_t m_turnaroundMs = 0;
  bool m_inputSinceWrite = false;
  uint64_t m_inStartMs = 0;  // when the paced input now arriving began
  uint64_t m_inBytes = 0;    // bytes handed over since then

  void PaceInput(size_t count);
};

// One accepted TCP connection. Reads end at once on `stop`; a peer that
// closed makes Closed() true.
class TcpLink {
 public:
  TcpLink(int fd, const std::atomic<bool>& stop);
  ~TcpLink();
  TcpLink(const TcpLink&) = delete;
  TcpLink& operator=(const TcpLink&) = delete;

  // Reads up to n bytes, waiting for all of them as long as no more than
  // timeoutMs pass without a byte; returns the count (short on that time-out,
  // a stop request or a closed connection).
  size_t Read(uint8_t* buf, size_t n, uint32_t timeoutMs);
  // Sends all bytes; false when the connection is gone.
  bool Write(const uint8_t* buf, size_t n);
  bool Write(const Bytes& data) { return Write(reinterpret_cast<const uint8_t*>(data.data()), data.size()); }
  void Close();
  bool Closed() const { return m_fd < 0; }
  // Waits up to timeoutMs, reading nothing, for the peer to close its end;
  // true when it has (or the connection is gone).
  bool WaitForPeerClose(uint32_t timeoutMs);

 private:
  int m_fd;
  const std::atomic<bool>& m_stop;
};

// A listening socket on 127.0.0.1. Port 0 picks a free port; Port() tells it.
// Raises std::runtime_error with the system's reason when it cannot listen.
class TcpListener {
 public:
  explicit TcpListener(uint16_t port);
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;
  uint16_t Port() const { return m_port; }
  // Waits up to timeoutMs for a connection; returns its descriptor or -1.
  int Accept(uint32_t timeoutMs);

 private:
  int m_fd = -1;
  uint16_t m_port = 0;
};

}  // namespace corvane::emu
