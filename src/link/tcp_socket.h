#pragma once
// A small blocking TCP client: the session's link to a Quillon on the network.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "link/bytes.h"

namespace corvane {

class CancelSignal;

inline constexpr uint16_t kDevicePort = 46601;

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
  // A failure closes the socket and raises "<reason> (<errno>), on API 'send'".
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

 private:
  [[noreturn]] void Fail(const char* api, int err);
  void CloseQuietly();
  bool Cancelled() const;
  // poll() on the socket for `events` and on the cancel's wake descriptor;
  // 0 on time-out, and also when only the cancel woke it.
  int Wait(short events) const;
  int m_fd = -1;
  const CancelSignal* m_cancel = nullptr;
};

}  // namespace corvane
