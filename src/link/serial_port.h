#pragma once
// The serial side of the device link: an open port, and the Comm* operations
// that every protocol layer uses on it.
//
// Reads have one total deadline: constant + multiplier x bytes requested, with
// no inter-byte time-out. When it passes, the read returns a short count and
// the rest of the buffer is zero: a time-out is never an error.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "link/bytes.h"
#include "link/clock.h"

namespace corvane {

class SerialPort {
 public:
  virtual ~SerialPort() = default;
  // Read time-out: total = constant + multiplier * requested bytes.
  virtual void SetTimeouts(uint32_t constantMs, uint32_t multiplierMs) = 0;
  // Reads up to n bytes within the read deadline; returns the count (short on
  // time-out). Raises ConnectionError when the port fails.
  virtual size_t Read(uint8_t* buf, size_t n) = 0;
  // Writes all bytes within the write deadline (10 ms per byte + 100 ms).
  // Raises ConnectionError when the port fails; a write held up by flow
  // control ends at the deadline without an error.
  virtual void Write(const uint8_t* buf, size_t n) = 0;
  // Discards the bytes waiting in the input queue.
  virtual void Purge() = 0;
  // Driver queue sizes; advisory.
  virtual void SetupQueues(size_t /*in*/, size_t /*out*/) {}
  // The clock that times this port's reads; pauses of the protocol use it too.
  virtual Clock& GetClock() = 0;
  // The path the port was opened by (for messages).
  virtual std::string Name() const = 0;
};

// The open port, or none. Owned by the session; borrowed by workers.
using CommHandle = SerialPort*;

// Opens a serial device by its exact path: 8N1, raw, the given speed; with
// handshake, RTS/CTS flow control and DSR checked before writing. DTR and RTS
// raised. Raises ConnectionError when it cannot be opened or set up; the
// system's reason is available from LastOpenFailure() for the log.
std::unique_ptr<SerialPort> CommOpen(const std::string& name, int baudRate, bool handshake);
// The system's reason for the last failed CommOpen on this thread, with advice
// ("Permission denied ... join the group ..."); empty after a success.
std::string LastOpenFailure();

// Closes the port if there is one; failures of the close are ignored.
void CommClose(std::unique_ptr<SerialPort>& handle);

// All of these raise ConnectionError on a missing port (null handle).
void CommSetTimeouts(CommHandle handle, uint32_t constantMs, uint32_t multiplierMs);
// One read of buf.size() bytes; tail past the count is zeroed; returns the count.
int CommRead(CommHandle handle, Bytes& buf);
void CommWrite(CommHandle handle, const Bytes& data);
// One byte under the port's read time-out: the byte, or 0 when none came.
uint8_t CommReadByte(CommHandle handle);
void CommWrite(CommHandle handle, const uint8_t* data, size_t n);
void CommPurge(CommHandle handle);
void SetupComm(CommHandle handle, size_t inQueue, size_t outQueue);

// Longest CommDrain keeps discarding a chattering line before it gives up.
inline constexpr uint32_t kDrainLimitMs = 10000;
// Discards input until 200 ms pass without a non-zero byte, then sets the
// caller's read time-out. A line that keeps sending non-zero bytes for
// kDrainLimitMs raises ConnectionError instead of spinning for ever.
void CommDrain(CommHandle handle, uint32_t constantMs, uint32_t multiplierMs);

// Names of the serial ports, one per line, separated by a line feed.
std::string EnumSerialPorts();
// Ports added to the list by the command line or the built-in emulator.
void AddExtraSerialPort(const std::string& path);
void ClearExtraSerialPorts();

}  // namespace corvane
