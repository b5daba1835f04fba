#pragma once
// Time as the protocol sees it: a millisecond tick and a pause. Tests swap in
// a fake clock so that time-outs and pauses cost nothing.
#include <cstdint>

namespace corvane {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds from an arbitrary, monotonic origin (never 0 for the system clock).
  virtual uint64_t NowMs() = 0;
  virtual void SleepMs(uint32_t ms) = 0;
  // Sleeps `ms`, or less once `wakeFd` is readable. A clock that does not
  // run on real time (a test's) just sleeps: its sleeps cost nothing anyway.
  virtual void SleepUntilWoken(uint32_t ms, int wakeFd) {
    (void)wakeFd;
    SleepMs(ms);
  }

  // The steady clock of the machine; lives for the whole run.
  static Clock& System();
};

}  // namespace corvane
