#include "link/termios_port.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "link/cancel_signal.h"
#include "link/link_error.h"

namespace corvane {
namespace {

// Descriptors that hold a port for exclusive use, so that a program that ends
// without unwinding can still release them (ReleaseSerialPortsForExit).
std::mutex g_exclusiveMutex;
std::vector<int> g_exclusiveFds;

int64_t RemainingMs(Clock& clock, uint64_t deadline) {
  const uint64_t now = clock.NowMs();
  return now >= deadline ? 0 : static_cast<int64_t>(deadline - now);
}

std::string ExplainOpenFailure(const std::string& path, int err) {
  std::string why = "Cannot open " + path + ": " + std::strerror(err) + ".";
  if (err == EACCES || err == EPERM) {
    std::string owner = "dialout";
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
      if (const struct group* g = ::getgrgid(st.st_gid)) owner = g->gr_name;
    }
    why += " Join the group that owns the port (sudo usermod -aG " + owner +
           " $USER), then log out and in again.";
  } else if (err == EBUSY) {
    why += " Another program is using the port: close it and try again.";
  } else if (err == ENOENT) {
    why += " The port does not exist: check the cable and the port name.";
  }
  return why;
}

}  // namespace

unsigned BaudToSpeed(int baudRate) {
  switch (baudRate) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return 0;
  }
}

std::unique_ptr<SerialPort> OpenSerialPort(const std::string& name, int baudRate, bool handshake) {
  const unsigned speed = BaudToSpeed(baudRate);
  if (speed == 0) {
    ConnectionError("Unsupported baud rate " + std::to_string(baudRate) + ".");
  }
  const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    ConnectionError(ExplainOpenFailure(name, errno));
  }
  bool exclusive = false;
  auto fail = [&](const char* what) {
    const int err = errno;
    if (exclusive) ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    ConnectionError("Cannot set up " + name + " (" + what + "): " + Detail(err) + ".");
  };
  if (!::isatty(fd)) {
    errno = ENOTTY;
    fail("not a serial port");
  }
  // Another program of ours has the port: refused at once, as the kernel
  // refuses others while we hold exclusive use (root passes that check, not
  // this one).
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    ::close(fd);
    ConnectionError(ExplainOpenFailure(name, EBUSY));
  }
  // The mark outlives our close on a pseudo-terminal whose master stays
  // open, so every close releases it first (TermiosPort, `fail`).
  if (::ioctl(fd, TIOCEXCL) == 0) {
    exclusive = true;
  } else if (errno != ENOTTY) {
    fail("exclusive use");
  }
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) fail("tcgetattr");
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  if (handshake) tio.c_cflag |= CRTSCTS;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) fail("speed");
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) fail("tcsetattr");
  // Raise DTR and RTS. A pseudo-terminal has no modem lines (ENOTTY/EINVAL): not an error.
  int lines = TIOCM_DTR | TIOCM_RTS;
  if (::ioctl(fd, TIOCMBIS, &lines) != 0 && errno != ENOTTY && errno != EINVAL) fail("modem lines");
  auto port = std::make_unique<TermiosPort>(fd, name, true, handshake);
  if (exclusive) port->MarkExclusive();
  return port;
}

void ReleaseSerialPortsForExit() {
  std::lock_guard lock(g_exclusiveMutex);
  for (const int fd : g_exclusiveFds) ::ioctl(fd, TIOCNXCL);
}

void TermiosPort::MarkExclusive() {
  std::lock_guard lock(g_exclusiveMutex);
  if (m_exclusive) return;
  m_exclusive = true;
  g_exclusiveFds.push_back(m_fd);
}

TermiosPort::TermiosPort(int fd, std::string name, bool ownsFd, bool handshake, Clock& clock)
    : m_fd(fd), m_name(std::move(name)), m_ownsFd(ownsFd), m_handshake(handshake), m_clock(clock) {
  const int flags = ::fcntl(m_fd, F_GETFL);
  if (flags >= 0) ::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK);
}

TermiosPort::~TermiosPort() {
  if (m_exclusive) {
    std::lock_guard lock(g_exclusiveMutex);
    ::ioctl(m_fd, TIOCNXCL);
    std::erase(g_exclusiveFds, m_fd);
  }
  if (m_ownsFd && m_fd >= 0) ::close(m_fd);
}

void TermiosPort::SetReadTimeout(ReadTimeout timeout) { m_readTimeout = timeout; }

bool TermiosPort::Cancelled() const { return m_cancel != nullptr && m_cancel->Raised(); }

int TermiosPort::Wait(short events, int64_t timeoutMs) const {
  short revents = 0;
  const int r = PollWithCancel(m_fd, events, m_cancel, static_cast<int>(std::min<int64_t>(timeoutMs, 1000)), &revents);
  if (r > 0 && (revents & POLLHUP) && !(revents & events)) return -2;
  return r;
}

size_t TermiosPort::Read(uint8_t* buf, size_t n) {
  if (n == 0 || Cancelled()) return 0;
  const uint64_t deadline = m_clock.NowMs() + m_readTimeout.baseMs + uint64_t{m_readTimeout.perByteMs} * n;
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(m_fd, buf + got, n - got);
    if (r > 0) {
      got += static_cast<size_t>(r);
      m_hungUp = false;
      continue;
    }
    if (Cancelled()) break;
    if (r < 0 && errno != EAGAIN && errno != EINTR) {
      // The other end of a pseudo-terminal has gone: treat as a quiet line,
      // and remember it, so that a transfer that fails now knows why.
      if (errno == EIO) {
        m_hungUp = true;
        const int64_t left = RemainingMs(m_clock, deadline);
        if (left <= 0) break;
        m_clock.SleepMs(static_cast<uint32_t>(std::min<int64_t>(left, 20)));
        continue;
      }
      ConnectionError();
    }
    if (r == 0) {
      // The end of a pipe or a file ends the read. A terminal that reads as
      // ended has hung up (the other end of a pseudo-terminal closed while
      // another descriptor holds this end; a hung-up terminal fails isatty
      // with EIO): a quiet line, waited out without spinning, as EIO above.
      // A live terminal with nothing to read also returns 0 (no minimum
      // count is set): that one is waited for below.
      if (!::isatty(m_fd)) {
        if (errno != EIO) break;
        m_hungUp = true;
        const int64_t left = RemainingMs(m_clock, deadline);
        if (left <= 0) break;
        m_clock.SleepMs(static_cast<uint32_t>(std::min<int64_t>(left, 20)));
        continue;
      }
    }
    const int64_t left = RemainingMs(m_clock, deadline);
    if (left <= 0) break;
    const int pr = Wait(POLLIN, left);
    if (pr == -1 && errno != EINTR) ConnectionError();
    if (pr == -2) {
      m_hungUp = true;
      // Hang-up with nothing to read: wait out the deadline without spinning.
      m_clock.SleepMs(static_cast<uint32_t>(std::min<int64_t>(left, 20)));
    }
  }
  return got;
}

bool TermiosPort::OutputReady() const {
  if (!m_handshake) return true;
  int status = 0;
  if (::ioctl(m_fd, TIOCMGET, &status) != 0) return true;  // no modem lines: ready
  return (status & TIOCM_DSR) != 0;
}

void TermiosPort::Write(const uint8_t* buf, size_t n) {
  const uint64_t deadline = m_clock.NowMs() + 100 + 10 * uint64_t{n};
  size_t sent = 0;
  while (sent < n) {
    const int64_t left = RemainingMs(m_clock, deadline);
    if (!OutputReady()) {
      // Held up by the device past the deadline: the bytes did not go out.
      if (left <= 0) ConnectionError("The device held up the output (flow control) for " + m_name + ".");
      if (Cancelled()) ConnectionError();
      m_clock.SleepMs(static_cast<uint32_t>(std::min<int64_t>(left, 10)));
      continue;
    }
    const ssize_t w = ::write(m_fd, buf + sent, n - sent);
    if (w > 0) {
      sent += static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno != EAGAIN && errno != EINTR) {
      if (errno == EIO) m_hungUp = true;
      ConnectionError();
    }
    if (left <= 0) ConnectionError("Writing to " + m_name + " timed out.");
    // Bytes that cannot go out now are not waited for once cancelled.
    if (Cancelled()) ConnectionError();
    if (Wait(POLLOUT, left) == -1 && errno != EINTR) ConnectionError();
  }
}

void TermiosPort::Purge() { ::tcflush(m_fd, TCIFLUSH); }

}  // namespace corvane
