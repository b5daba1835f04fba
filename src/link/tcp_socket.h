#pragma once
// A small blocking TCP client: the session's link to a Quillon on the network.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "link/bytes.h"

namespace corvane {

class CancelSignal;
class Clock;

inline constexpr uint16_t kDevicePort = 46601;

// The slowest average rate a TCP/IP packet or file may arrive or leave at
// before the kit gives up on it: far below any network, far above a device
// that drips its bytes.
inline constexpr uint32_t kTcpSlowestBytesPerSecond = 4096;
// How long a packet or file of `bytes` may take over TCP/IP, counted from
// when the kit starts waiting for it (or starts sending it): the socket's
// time-out for the device to start, plus one second for every
// kTcpSlowestBytesPerSecond bytes.
inline uint64_t TcpAllowanceMs(uint64_t bytes, uint32_t timeoutMs) {
  return timeoutMs + bytes * 1000 / kTcpSlowestBytesPerSecond;
}

class TcpSocket {
 public:
  TcpSocket() = default;
  ~TcpSocket();
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  std::function<void()> OnConnect;
  // Called whenever a connected socket closes: by Close(), or after a failed send/receive.
  std::function<void()> OnDisconnect;

  uint16_t Port = kDevicePort;
  std::string Address;
  // Longest wait for the connect and for each receive; a device that says
  // nothing for this long is taken as gone (the socket closes, and Receive
  // raises the connection error).
  uint32_t TimeoutMs = 15000;

  // Active := true: connects synchronously to Address:Port. Raises
  // DeviceError with the system's reason on failure.
  void Open();
  // Active := false: closes a live connection (raising OnDisconnect); nothing otherwise.
  void Close();
  bool Active() const { return m_fd >= 0; }

  // Sends all bytes. On a closed socket nothing is sent and no error raised.
  // A failure closes the socket and raises the connection's failure in words
  // ("The connection broke while sending to ADDRESS:PORT: <reason>. <advice>").
  // Once a bound cancel is raised, bytes that cannot go out at once are not
  // waited for: Send returns with them unsent (the caller looks at the cancel).
  void Send(const void* data, size_t n);
  void SendText(const Bytes& text) { Send(text.data(), text.size()); }
  // Blocks until at least one byte is there; returns how many were stored (at
  // most n). Returns 0 when not connected, when the peer closed the
  // connection, or when a bound cancel was raised while it waited.
  size_t Receive(void* data, size_t n);
  // Binds the waits of Send and Receive to `cancel` (none: unbound).
  void SetCancel(const CancelSignal* cancel) { m_cancel = cancel; }
  // An overall deadline for Send and Receive: once `clock` reads `atMs` or
  // later, they close the socket and raise DeviceError(kNoConnection,
  // message) instead of waiting or going on. Each wait is cut to what is
  // left of it. No clock: no deadline.
  struct Deadline {
    Clock* clock = nullptr;
    uint64_t atMs = 0;
    std::string message;
  };
  void SetDeadline(Deadline deadline) { m_deadline = std::move(deadline); }
  const Deadline& CurrentDeadline() const { return m_deadline; }

 private:
  [[noreturn]] void Fail(const char* what, int err);
  void CloseQuietly();
  bool Cancelled() const;
  // poll() on the socket for `events` and on the cancel's wake descriptor;
  // 0 on time-out, and also when only the cancel woke it.
  int Wait(short events);
  // Raises the deadline's error once it has passed.
  void CheckDeadline();
  int m_fd = -1;
  const CancelSignal* m_cancel = nullptr;
  Deadline m_deadline;
};

}  // namespace corvane
