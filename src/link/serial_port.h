#pragma once
// The serial side of the device link: an open port, and the operations that
// every protocol layer uses on it.
//
// Reads have one total deadline: base + per byte x bytes requested, with no
// inter-byte time-out. When it passes, the read returns a short count and the
// rest of the buffer is zero: a time-out is never an error. Writes have a
// deadline of 10 ms per byte + 100 ms; a write that cannot finish by then
// (the device holds it up by flow control) raises the connection error.
//
// A port may be bound to a CancelSignal (SetCancel). While it is raised, a
// read returns at once with what it has (nothing when it was raised before
// the read began), as if its deadline had passed, and a write that would have
// to wait raises the connection error instead; bytes that can go out at once
// still go (the cancel bytes of a transfer that was cancelled).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/bytes.h"
#include "link/clock.h"

namespace corvane {

class CancelSignal;

// Total read time-out: baseMs + perByteMs x the number of bytes requested.
struct ReadTimeout {
  uint32_t baseMs = 0;
  uint32_t perByteMs = 0;
};

class SerialPort {
 public:
  virtual ~SerialPort() = default;
  virtual void SetReadTimeout(ReadTimeout timeout) = 0;
  // The read time-out set last.
  virtual ReadTimeout GetReadTimeout() const = 0;
  // Reads up to n bytes within the read deadline; returns the count (short on
  // time-out). Raises the connection error when the port fails.
  virtual size_t Read(uint8_t* buf, size_t n) = 0;
  // Writes all bytes within the write deadline. Raises the connection error
  // when the port fails or the deadline passes with bytes unsent.
  virtual void Write(const uint8_t* buf, size_t n) = 0;
  // Discards the bytes waiting in the input queue.
  virtual void Purge() = 0;
  // The clock that times this port's reads; pauses of the protocol use it too.
  virtual Clock& GetClock() = 0;
  // The path the port was opened by (for messages).
  virtual std::string Name() const = 0;
  // Binds the port's waits to `cancel` (none: unbound). Called on the thread
  // that uses the port. A port that cannot be woken ignores it and keeps its
  // deadlines.
  virtual void SetCancel(const CancelSignal* cancel) { (void)cancel; }
  // True once the other end has gone (a hang-up, a closed connection) and
  // nothing has come since: a failure then is a broken link, not a device
  // that answered wrong.
  virtual bool HungUp() const { return false; }
};

// Opens a serial device by its exact path: 8N1, raw, the given speed; with
// handshake, RTS/CTS flow control and DSR checked before writing. DTR and RTS
// raised. Raises the connection error when it cannot be opened or set up; the
// error's Detail() holds the system's reason with advice ("Permission denied
// ... join the group ...").
//
// The port is ours alone while open: an advisory lock (flock) refuses a
// second program of ours at once with the busy text, and exclusive use
// (TIOCEXCL) refuses other programs; both end when the port is closed.
std::unique_ptr<SerialPort> OpenSerialPort(const std::string& name, int baudRate, bool handshake);
// Releases the exclusive use of every open port, for a program about to end
// without closing them (std::_Exit): on a pseudo-terminal the mark would
// otherwise outlive the process and refuse the next program's open.
void ReleaseSerialPortsForExit();

// The helpers below take the session's port, which may be missing (not
// connected): they raise the connection error then.
void SetReadTimeout(SerialPort* port, ReadTimeout timeout);
// One read of buf.size() bytes; the tail past the count is zeroed; returns the count.
size_t ReadInto(SerialPort* port, Bytes& buf);
// One byte under the port's read time-out, or nothing when none came.
std::optional<uint8_t> ReadByte(SerialPort* port);
void WriteAll(SerialPort* port, const Bytes& data);
void WriteAll(SerialPort* port, const uint8_t* data, size_t n);
void DiscardInput(SerialPort* port);

// Sets a port's read time-out for the reads of one scope, and puts back the
// one before when the scope ends, however it ends: a helper that reads under
// its own time-out leaves its caller's in place.
class ScopedReadTimeout {
 public:
  ScopedReadTimeout(SerialPort& port, ReadTimeout timeout) : m_port(port), m_outer(port.GetReadTimeout()) {
    port.SetReadTimeout(timeout);
  }
  ~ScopedReadTimeout() {
    try {
      m_port.SetReadTimeout(m_outer);
    } catch (...) {
      // a port that failed has no time-out left to restore
    }
  }
  ScopedReadTimeout(const ScopedReadTimeout&) = delete;
  ScopedReadTimeout& operator=(const ScopedReadTimeout&) = delete;

 private:
  SerialPort& m_port;
  ReadTimeout m_outer;
};

// Longest DrainInput keeps discarding a chattering line before it gives up.
inline constexpr uint32_t kDrainLimitMs = 10000;
// A line is quiet once this long passes without a non-zero byte.
inline constexpr uint32_t kDrainQuietMs = 200;
// Discards input until kDrainQuietMs pass without a non-zero byte; the
// caller's read time-out is in place again afterwards. A line that keeps
// sending non-zero bytes for kDrainLimitMs raises the connection error
// instead of spinning for ever.
void DrainInput(SerialPort* port);

// Names of the serial ports, one per line, separated by a line feed.
std::string ListSerialPorts();
// Ports added to the list by the command line or the built-in emulator.
void AddExtraSerialPort(const std::string& path);
// Folders whose serial devices, and links to them, are listed as ports too
// (each time the list is made). ClearExtraSerialPorts forgets them as well.
void AddSerialPortFolder(const std::string& folder);
std::vector<std::string> SerialPortFolders();
void ClearExtraSerialPorts();
// The character devices in `folder`, and its links to them, sorted; found by
// stat alone (nothing is opened). Empty when the folder cannot be read.
std::vector<std::string> ListPortsInFolder(const std::string& folder);

}  // namespace corvane
