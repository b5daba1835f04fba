#pragma once
// The user's Cancel as the link sees it: a flag that a transfer polls, and a
// descriptor that becomes readable when the flag is raised, so that a read or
// write blocked in poll() on the port or the socket returns at once instead
// of at its deadline. It also knows when the program is ending: the pauses
// that are there for the device's next command are then skipped.
//
// Thread safety: every member may be called from any thread.
#include <atomic>
#include <cstdint>
#include <mutex>

#include "link/clock.h"

namespace corvane {

class CancelSignal {
 public:
  CancelSignal();
  ~CancelSignal();
  CancelSignal(const CancelSignal&) = delete;
  CancelSignal& operator=(const CancelSignal&) = delete;

  // Raises the flag and wakes every wait on WakeFd().
  void Raise();
  // Lowers the flag (a new transfer begins). Ending stays as it is.
  void Reset();
  bool Raised() const { return m_raised.load(); }
  // The flag itself, for a transfer that polls it.
  const std::atomic<bool>& Flag() const { return m_raised; }
  // Readable while the flag is up; poll it beside the port's descriptor.
  int WakeFd() const { return m_wakeFd; }

  // The program is ending: nobody will send the device another command, so
  // the pauses kept for it are skipped, and one in progress ends now. Does
  // not raise the flag by itself.
  void SetEnding();
  bool Ending() const { return m_ending.load(); }
  // A pause of `ms` on `clock`, skipped or cut short once the program is ending.
  void Pause(Clock& clock, uint32_t ms) const;

 private:
  mutable std::mutex m_mutex;
  std::atomic<bool> m_raised{false};
  std::atomic<bool> m_ending{false};
  int m_wakeFd = -1;    // readable while raised
  int m_endingFd = -1;  // readable once ending
};

// Waits up to `timeoutMs` for `events` on `fd` or for `cancel` (if any) to be
// raised. Returns poll()'s result for `fd` alone: 0 after the time-out or when
// only the cancel woke it (the caller looks at the flag), -1 on an error;
// `revents` gets what happened on `fd`.
int PollWithCancel(int fd, short events, const CancelSignal* cancel, int timeoutMs, short* revents = nullptr);

// A clock whose pauses end once the program is ending; time itself comes from
// the clock it wraps. Given to a transfer, it cuts its failure pause short.
class PauseEndingClock final : public Clock {
 public:
  PauseEndingClock(Clock& inner, const CancelSignal& signal) : m_inner(inner), m_signal(signal) {}
  uint64_t NowMs() override { return m_inner.NowMs(); }
  void SleepMs(uint32_t ms) override { m_signal.Pause(m_inner, ms); }

 private:
  Clock& m_inner;
  const CancelSignal& m_signal;
};

// Makes the waits of a port or socket end when `signal` is raised, for as
// long as it lives. `Link` has SetCancel(const CancelSignal*); a null link
// (not connected) is left alone.
template <class Link>
class CancelBinding {
 public:
  CancelBinding(Link* link, const CancelSignal& signal) : m_link(link) {
    if (m_link != nullptr) m_link->SetCancel(&signal);
  }
  ~CancelBinding() {
    if (m_link != nullptr) m_link->SetCancel(nullptr);
  }
  CancelBinding(const CancelBinding&) = delete;
  CancelBinding& operator=(const CancelBinding&) = delete;

 private:
  Link* m_link;
};

}  // namespace corvane
