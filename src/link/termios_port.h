#pragma once
// A serial port (or pseudo-terminal) on a POSIX file descriptor.
#include <string>

#include "link/serial_port.h"

namespace corvane {

class TermiosPort final : public SerialPort {
 public:
  // Takes a descriptor that is already open and set up (the emulator's
  // pseudo-terminal master, for instance). Closes it when ownsFd.
  TermiosPort(int fd, std::string name, bool ownsFd, bool handshake = false, Clock& clock = Clock::System());
  ~TermiosPort() override;
  TermiosPort(const TermiosPort&) = delete;
  TermiosPort& operator=(const TermiosPort&) = delete;

  void SetReadTimeout(ReadTimeout timeout) override;
  size_t Read(uint8_t* buf, size_t n) override;
  void Write(const uint8_t* buf, size_t n) override;
  void Purge() override;
  Clock& GetClock() override { return m_clock; }
  std::string Name() const override { return m_name; }
  void SetCancel(const CancelSignal* cancel) override { m_cancel = cancel; }
  bool HungUp() const override { return m_hungUp; }
  ReadTimeout GetReadTimeout() const override { return m_readTimeout; }
  int Fd() const { return m_fd; }
  // The descriptor holds exclusive use of the port (TIOCEXCL): it is
  // released before the descriptor is closed, or by ReleaseSerialPortsForExit.
  void MarkExclusive();

 private:
  bool OutputReady() const;
  bool Cancelled() const;
  // poll() on the port for `events` and on the cancel's wake descriptor.
  int Wait(short events, int64_t timeoutMs) const;

  int m_fd;
  std::string m_name;
  bool m_ownsFd;
  bool m_handshake;
  Clock& m_clock;
  ReadTimeout m_readTimeout;
  const CancelSignal* m_cancel = nullptr;
  // The other end hung up (EIO, POLLHUP) and nothing was read since.
  bool m_hungUp = false;
  bool m_exclusive = false;
};

// termios speed constant for a baud rate, or 0 when it is not one we offer.
unsigned BaudToSpeed(int baudRate);

}  // namespace corvane
