#include "link/clock.h"

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
};

}  // namespace

Clock& Clock::System() {
  static SystemClock clock;
  return clock;
}

}  // namespace corvane
