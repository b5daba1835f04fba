#include "link/cancel_signal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace corvane {
namespace {

int MakeEventFd() {
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) throw std::runtime_error(std::string("Cannot create the cancel signal: ") + std::strerror(errno));
  return fd;
}

void Signal(int fd) {
  const uint64_t one = 1;
  // A full counter is still readable: nothing to do on failure.
  [[maybe_unused]] const ssize_t w = ::write(fd, &one, sizeof one);
}

void Drain(int fd) {
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t r = ::read(fd, &count, sizeof count);
}

}  // namespace

CancelSignal::CancelSignal() : m_wakeFd(MakeEventFd()) {
  try {
    m_endingFd = MakeEventFd();
  } catch (...) {
    ::close(m_wakeFd);
    throw;
  }
}

CancelSignal::~CancelSignal() {
  ::close(m_wakeFd);
  ::close(m_endingFd);
}

void CancelSignal::Raise() {
  std::lock_guard lock(m_mutex);
  if (m_raised.exchange(true)) return;
  Signal(m_wakeFd);
}

void CancelSignal::Reset() {
  std::lock_guard lock(m_mutex);
  if (!m_raised.load()) return;
  Drain(m_wakeFd);
  m_raised.store(false);
}

void CancelSignal::SetEnding() {
  std::lock_guard lock(m_mutex);
  if (m_ending.exchange(true)) return;
  Signal(m_endingFd);
}

void CancelSignal::Pause(Clock& clock, uint32_t ms) const {
  if (ms == 0 || m_ending.load()) return;
  clock.SleepUntilWoken(ms, m_endingFd);
}

int PollWithCancel(int fd, short events, const CancelSignal* cancel, int timeoutMs, short* revents) {
  pollfd p[2] = {{fd, events, 0}, {cancel != nullptr ? cancel->WakeFd() : -1, POLLIN, 0}};
  const int r = ::poll(p, cancel != nullptr ? 2 : 1, timeoutMs);
  if (revents != nullptr) *revents = r > 0 ? p[0].revents : 0;
  if (r > 0 && p[0].revents == 0) return 0;
  return r;
}

}  // namespace corvane
