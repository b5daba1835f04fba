#include "emulator/device_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace corvane::emu {

DevicePort::DevicePort(SerialPort& inner, const std::atomic<bool>& stop) : m_inner(inner), m_stop(stop) {}

void DevicePort::SetPacing(uint32_t baud, uint32_t turnaroundMs) {
  m_baud = baud;
  m_turnaroundMs = turnaroundMs;
}

void DevicePort::SetReadTimeout(ReadTimeout timeout) { m_timeout = timeout; }

size_t DevicePort::Read(uint8_t* buf, size_t n) {
  if (n == 0) return 0;
  Clock& clock = m_inner.GetClock();
  const uint64_t deadline = clock.NowMs() + m_timeout.baseMs + uint64_t{m_timeout.perByteMs} * n;
  size_t got = 0;
  while (got < n && !m_stop.load()) {
    const uint64_t now = clock.NowMs();
    if (now >= deadline) break;
    m_inner.SetReadTimeout({static_cast<uint32_t>(std::min<uint64_t>(deadline - now, 50)), 0});
    got += m_inner.Read(buf + got, n - got);
  }
  if (got > 0) {
    m_inputSinceWrite = true;
    PaceInput(got);
  }
  return got;
}

void DevicePort::PaceInput(size_t count) {
  if (m_baud == 0) return;
  // The bytes are here at once over a pseudo-terminal; on a real line they
  // would still be arriving. Hand them over no sooner than that: from the
  // first byte after the line was idle, each takes 10 bits at the baud rate.
  Clock& clock = m_inner.GetClock();
  const uint64_t bytesPerSecond = std::max<uint64_t>(1, m_baud / 10);
  const uint64_t now = clock.NowMs();
  if (m_inBytes == 0 || now > m_inStartMs + m_inBytes * 1000 / bytesPerSecond) {
    m_inStartMs = now;
    m_inBytes = 0;
  }
  m_inBytes += count;
  const uint64_t due = m_inStartMs + m_inBytes * 1000 / bytesPerSecond;
  for (uint64_t t = clock.NowMs(); t < due && !m_stop.load(); t = clock.NowMs())
    clock.SleepMs(static_cast<uint32_t>(std::min<uint64_t>(due - t, 50)));
}

void DevicePort::Write(const uint8_t* buf, size_t n) {
  Clock& clock = m_inner.GetClock();
  if (m_inputSinceWrite && m_turnaroundMs > 0) clock.SleepMs(m_turnaroundMs);
  m_inputSinceWrite = false;
  if (m_baud == 0) {
    m_inner.Write(buf, n);
    return;
  }
  // 10 bits per byte on the line; chunks of about 10 ms, timed from the start
  // so that sleeping late does not add up.
  const uint64_t bytesPerSecond = std::max<uint64_t>(1, m_baud / 10);
  const size_t chunk = static_cast<size_t>(std::max<uint64_t>(1, bytesPerSecond / 100));
  const uint64_t start = clock.NowMs();
  size_t sent = 0;
  while (sent < n && !m_stop.load()) {
    const size_t k = std::min(chunk, n - sent);
    m_inner.Write(buf + sent, k);
    sent += k;
    const uint64_t due = start + sent * 1000 / bytesPerSecond;
    const uint64_t now = clock.NowMs();
    if (due > now) clock.SleepMs(static_cast<uint32_t>(due - now));
  }
}

TcpLink::TcpLink(int fd, const std::atomic<bool>& stop) : m_fd(fd), m_stop(stop) {
  int one = 1;
  ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

TcpLink::~TcpLink() { Close(); }

void TcpLink::Close() {
  if (m_fd >= 0) {
    ::close(m_fd);
    m_fd = -1;
  }
}

size_t TcpLink::Read(uint8_t* buf, size_t n, uint32_t timeoutMs) {
  size_t got = 0;
  int waited = 0;
  while (got < n && m_fd >= 0 && !m_stop.load()) {
    pollfd p{m_fd, POLLIN, 0};
    const int slice = 50;
    const int pr = ::poll(&p, 1, slice);
    if (pr < 0 && errno != EINTR) {
      Close();
      break;
    }
    if (pr <= 0) {
      waited += slice;
      if (static_cast<uint32_t>(waited) >= timeoutMs) break;
      continue;
    }
    const ssize_t r = ::recv(m_fd, buf + got, n - got, 0);
    if (r > 0) {
      got += static_cast<size_t>(r);
      waited = 0;  // a device waits per chunk, not for the whole read
      continue;
    }
    if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    Close();  // the peer closed the connection, or it failed
  }
  return got;
}

bool TcpLink::Write(const uint8_t* buf, size_t n) {
  size_t sent = 0;
  while (sent < n) {
    if (m_fd < 0 || m_stop.load()) return false;
    const ssize_t w = ::send(m_fd, buf + sent, n - sent, MSG_NOSIGNAL);
    if (w > 0) {
      sent += static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EAGAIN) {
      pollfd p{m_fd, POLLOUT, 0};
      ::poll(&p, 1, 50);
      continue;
    }
    Close();
    return false;
  }
  return true;
}

bool TcpLink::WaitForPeerClose(uint32_t timeoutMs) {
  if (m_fd < 0) return true;
  // Only the hang-up is asked for: bytes waiting to be read do not wake it.
  pollfd p{m_fd, POLLRDHUP, 0};
  return ::poll(&p, 1, static_cast<int>(timeoutMs)) > 0;
}

TcpListener::TcpListener(uint16_t port) {
  m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  int one = 1;
  ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(m_fd, 4) != 0) {
    const int err = errno;
    ::close(m_fd);
    m_fd = -1;
    throw std::runtime_error("Cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(err) +
                             (err == EADDRINUSE ? ". Another program uses the port: choose another one." : "."));
  }
  socklen_t len = sizeof addr;
  ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
  m_port = ntohs(addr.sin_port);
}

TcpListener::~TcpListener() {
  if (m_fd >= 0) ::close(m_fd);
}

int TcpListener::Accept(uint32_t timeoutMs) {
  pollfd p{m_fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeoutMs)) <= 0) return -1;
  return ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
}

}  // namespace corvane::emu
