#include "link/clock.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

namespace corvane {
namespace {

class SystemClock final : public Clock {
 public:
  uint64_t NowMs() override {
    using namespace std::chrono;
    // +1 keeps the tick away from 0, which callers use for "not started".
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count()) + 1;
  }
  void SleepMs(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  void SleepUntilWoken(uint32_t ms, int wakeFd) override {
    const uint64_t deadline = NowMs() + ms;
    for (uint64_t now = NowMs(); now < deadline; now = NowMs()) {
      pollfd p{wakeFd, POLLIN, 0};
      const int r = ::poll(&p, 1, static_cast<int>(std::min<uint64_t>(deadline - now, 60000)));
      if (r > 0) return;  // woken
      if (r < 0 && errno != EINTR) {
        SleepMs(static_cast<uint32_t>(deadline - now));
        return;
      }
    }
  }
};

}  // namespace

Clock& Clock::System() {
  static SystemClock clock;
  return clock;
}

}  // namespace corvane
