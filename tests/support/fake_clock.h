#pragma once
// A clock that only moves when told to: sleeps and time-outs cost nothing.
#include <atomic>

#include "link/clock.h"

namespace corvane::test {

class FakeClock final : public Clock {
 public:
  uint64_t NowMs() override { return m_now.load(); }
  void SleepMs(uint32_t ms) override { m_now += ms; }
  void Advance(uint64_t ms) { m_now += ms; }

 private:
  std::atomic<uint64_t> m_now{1000};
};

}  // namespace corvane::test
