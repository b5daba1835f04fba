#include "link/tcp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "link/cancel_signal.h"
#include "link/clock.h"
#include "link/link_error.h"

namespace corvane {

TcpSocket::~TcpSocket() {
  OnDisconnect = nullptr;
  CloseQuietly();
}

void TcpSocket::CloseQuietly() {
  if (m_fd >= 0) {
    ::close(m_fd);
    m_fd = -1;
  }
}

void TcpSocket::Close() {
  if (m_fd < 0) return;
  CloseQuietly();
  if (OnDisconnect) OnDisconnect();
}

void TcpSocket::Fail(const char* what, int err) {
  const std::string text = std::string(what) + " " + Address + ":" + std::to_string(Port) + ": " + Detail(err);
  Close();
  throw DeviceError(ErrorKind::kNoConnection, text);
}

void TcpSocket::Open() {
  Close();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(Port);
  if (::inet_pton(AF_INET, Address.c_str(), &addr.sin_addr) != 1)
    throw DeviceError(ErrorKind::kNoConnection, "Invalid address '" + Address + "': enter a dotted IPv4 address such as 192.168.0.2");
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) throw DeviceError(ErrorKind::kNoConnection, "Cannot make a socket: " + Detail(errno));
  int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  if (rc != 0 && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    rc = ::poll(&p, 1, static_cast<int>(TimeoutMs));
    int err = ETIMEDOUT;
    if (rc > 0) {
      socklen_t len = sizeof err;
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    }
    rc = err == 0 ? 0 : -1;
    errno = err;
  }
  if (rc != 0) {
    const int err = errno;
    ::close(fd);
    throw DeviceError(ErrorKind::kNoConnection,
                      "Cannot connect to " + Address + ":" + std::to_string(Port) + ": " + Detail(err));
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  m_fd = fd;
  if (OnConnect) OnConnect();
}

bool TcpSocket::Cancelled() const { return m_cancel != nullptr && m_cancel->Raised(); }

void TcpSocket::CheckDeadline() {
  if (m_deadline.clock == nullptr || m_deadline.clock->NowMs() < m_deadline.atMs) return;
  const std::string message = m_deadline.message;
  Close();
  throw DeviceError(ErrorKind::kNoConnection, message);
}

int TcpSocket::Wait(short events) {
  uint64_t waitMs = TimeoutMs;
  if (m_deadline.clock != nullptr) {
    const uint64_t now = m_deadline.clock->NowMs();
    waitMs = std::min<uint64_t>(waitMs, m_deadline.atMs > now ? m_deadline.atMs - now : 0);
  }
  const int r = PollWithCancel(m_fd, events, m_cancel, static_cast<int>(waitMs));
  // A wait cut short by the deadline ends with the deadline's error, not the time-out's.
  if (r == 0 && !Cancelled()) CheckDeadline();
  return r;
}

void TcpSocket::Send(const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0 && m_fd >= 0) {
    CheckDeadline();
    const ssize_t w = ::send(m_fd, p, n, MSG_NOSIGNAL);
    if (w > 0) {
      p += w;
      n -= static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EAGAIN) {
      if (Cancelled()) return;
      const int r = Wait(POLLOUT);
      if (r == 0 && !Cancelled()) Fail("Gave up waiting to send to", ETIMEDOUT);
      continue;
    }
    Fail("The connection broke while sending to", errno);
  }
}

size_t TcpSocket::Receive(void* data, size_t n) {
  if (m_fd < 0 || n == 0) return 0;
  for (;;) {
    CheckDeadline();
    const ssize_t r = ::recv(m_fd, data, n, 0);
    if (r > 0) return static_cast<size_t>(r);
    if (r == 0) {
      Close();
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) Fail("The connection broke while receiving from", errno);
    if (Cancelled()) return 0;
    const int pr = Wait(POLLIN);
    if (pr == 0 && !Cancelled()) Fail("Gave up waiting for an answer from", ETIMEDOUT);
    if (pr < 0 && errno != EINTR) Fail("The connection broke while receiving from", errno);
  }
}

}  // namespace corvane
