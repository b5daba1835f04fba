// Cancel wakes the link's waits: a read or write blocked on a pseudo-terminal
// or a TCP socket returns as soon as the bound CancelSignal is raised from
// another thread. The port runs on a fake clock that never moves, so without
// the wake such a read would wait for ever: each wait below is guarded, and
// the guard unblocks it (bytes, a closed peer) and fails the test instead.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include "fake_clock.h"
#include "gate.h"
#include "link/cancel_signal.h"
#include "link/link_error.h"
#include "link/serial_port.h"
#include "link/tcp_socket.h"
#include "link/termios_port.h"
#include "pty_pair.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using test::FakeClock;
using test::Gate;
using test::PtyPair;

// Longest a woken wait may take before the test calls it stuck. Only a guard
// against hanging: a woken wait returns long before it.
constexpr auto kStuck = 30s;

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1;
}

// A frozen fake clock that tells when it is first asked the time (a read or
// write computing its deadline: it is about to wait).
class NotingClock final : public Clock {
 public:
  uint64_t NowMs() override {
    asked.Open();
    return m_clock.NowMs();
  }
  void SleepMs(uint32_t ms) override { m_clock.SleepMs(ms); }
  Gate asked;

 private:
  FakeClock m_clock;
};

TEST(CancelSignal, TheWakeDescriptorIsReadableExactlyWhileRaised) {
  CancelSignal signal;
  EXPECT_FALSE(signal.Raised());
  EXPECT_FALSE(Readable(signal.WakeFd()));
  signal.Raise();
  signal.Raise();  // twice is once
  EXPECT_TRUE(signal.Raised());
  EXPECT_TRUE(signal.Flag().load());
  EXPECT_TRUE(Readable(signal.WakeFd()));
  signal.Reset();
  EXPECT_FALSE(signal.Raised());
  EXPECT_FALSE(Readable(signal.WakeFd()));
  // Ending alone cancels nothing, and a reset leaves it.
  signal.SetEnding();
  EXPECT_FALSE(signal.Raised());
  EXPECT_FALSE(Readable(signal.WakeFd()));
  signal.Raise();
  signal.Reset();
  EXPECT_FALSE(signal.Raised());
  EXPECT_TRUE(signal.Ending());
}

TEST(CancelSignal, PausesAreSkippedOnceTheProgramIsEnding) {
  FakeClock clock;
  CancelSignal signal;
  const uint64_t start = clock.NowMs();
  signal.Pause(clock, 500);
  EXPECT_EQ(clock.NowMs() - start, 500u);
  signal.Raise();  // a cancel alone keeps the pause (the device's next command needs it)
  signal.Pause(clock, 500);
  EXPECT_EQ(clock.NowMs() - start, 1000u);
  signal.SetEnding();
  signal.Pause(clock, 500);
  PauseEndingClock transferClock(clock, signal);
  transferClock.SleepMs(2000);
  EXPECT_EQ(clock.NowMs() - start, 1000u);
}

TEST(CancelSignal, APauseOnTheSystemClockEndsWhenTheProgramStartsEnding) {
  CancelSignal signal;
  Gate started;
  auto pause = std::async(std::launch::async, [&] {
    started.Open();
    signal.Pause(Clock::System(), 3'600'000);  // an hour
    return signal.Ending();
  });
  started.Wait();
  signal.SetEnding();
  ASSERT_EQ(pause.wait_for(kStuck), std::future_status::ready) << "the pause was not cut short";
  EXPECT_TRUE(pause.get());
}

TEST(PortWake, AReadBlockedWithALongDeadlineReturnsNothingWhenWoken) {
  PtyPair pty;
  NotingClock clock;
  TermiosPort port(pty.SlaveFd(), "pty", false, false, clock);
  CancelSignal signal;
  port.SetCancel(&signal);
  port.SetReadTimeout({3'600'000, 0});
  auto reader = std::async(std::launch::async, [&] {
    Bytes buf(8, 'x');
    const size_t got = ReadInto(&port, buf);
    return std::make_pair(got, buf);
  });
  clock.asked.Wait();  // the read has its deadline: it waits now, or is about to
  signal.Raise();
  if (reader.wait_for(kStuck) != std::future_status::ready) {
    pty.Send("12345678");  // lets the read end
    FAIL() << "the read was not woken";
  }
  const auto [got, buf] = reader.get();
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(buf, Bytes(8, '\0'));
}

TEST(PortWake, BytesAreReadAsUsualUntilRaisedAndAgainAfterReset) {
  PtyPair pty;
  FakeClock clock;
  TermiosPort port(pty.SlaveFd(), "pty", false, false, clock);
  CancelSignal signal;
  port.SetCancel(&signal);
  port.SetReadTimeout({3'600'000, 0});
  pty.Send("abc");
  Bytes buf(3, '\0');
  EXPECT_EQ(ReadInto(&port, buf), 3u);
  EXPECT_EQ(buf, "abc");
  // A read begun after the cancel takes nothing, so that a drain after a
  // cancel ends at once even on a line that keeps sending.
  signal.Raise();
  pty.Send("def");
  EXPECT_EQ(ReadInto(&port, buf), 0u);
  EXPECT_FALSE(ReadByte(&port).has_value());
  signal.Reset();
  EXPECT_EQ(ReadInto(&port, buf), 3u);
  EXPECT_EQ(buf, "def");
  // Unbound, the cancel plays no part.
  port.SetCancel(nullptr);
  signal.Raise();
  pty.Send("g");
  EXPECT_EQ(ReadByte(&port), uint8_t{'g'});
}

TEST(PortWake, AHeldUpWriteEndsWhenWokenAndTheCancelBytesStillGo) {
  PtyPair pty;
  NotingClock clock;
  TermiosPort port(pty.SlaveFd(), "pty", false, false, clock);
  CancelSignal signal;
  port.SetCancel(&signal);
  // Nobody reads the other end: the write fills the line's buffer and waits.
  const Bytes big(4 << 20, 'B');
  auto writer = std::async(std::launch::async, [&] {
    try {
      WriteAll(&port, big);
      return std::string("written");
    } catch (const DeviceError& e) {
      return std::string(e.what());
    }
  });
  clock.asked.Wait();
  signal.Raise();
  if (writer.wait_for(kStuck) != std::future_status::ready) {
    while (writer.wait_for(0s) != std::future_status::ready) pty.Pending();  // lets the write end
    FAIL() << "the write was not woken";
  }
  EXPECT_EQ(writer.get(), kConnectionErrorText);
  const size_t through = pty.Pending().size();
  EXPECT_LT(through, big.size());
  // Bytes that fit at once still go out while the cancel is raised.
  const uint8_t cancel[4] = {0x18, 0x18, 0x18, 0x18};
  EXPECT_NO_THROW(port.Write(cancel, sizeof cancel));
  EXPECT_EQ(pty.Pending(), std::string(4, '\x18'));
}

// A listening socket on 127.0.0.1 whose peer connects and then says nothing
// and reads nothing until it is closed.
struct SilentPeer {
  int listenFd = -1;
  int peer = -1;
  uint16_t port = 0;
  SilentPeer() {
    listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listenFd, 1);
    socklen_t len = sizeof a;
    ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~SilentPeer() {
    Close();
    ::close(listenFd);
  }
  void Accept() { peer = ::accept(listenFd, nullptr, nullptr); }
  void Close() {
    if (peer >= 0) ::close(peer);
    peer = -1;
  }
};

TEST(TcpWake, AReceiveFromASilentDeviceReturnsNothingWhenWokenAndTheSocketStaysOpen) {
  SilentPeer device;
  TcpSocket socket;
  socket.Address = "127.0.0.1";
  socket.Port = device.port;
  socket.TimeoutMs = 3'600'000;
  socket.Open();
  device.Accept();
  CancelSignal signal;
  socket.SetCancel(&signal);
  auto receiver = std::async(std::launch::async, [&] {
    char buf[16];
    return socket.Receive(buf, sizeof buf);
  });
  signal.Raise();
  if (receiver.wait_for(kStuck) != std::future_status::ready) {
    device.Close();
    FAIL() << "the receive was not woken";
  }
  EXPECT_EQ(receiver.get(), 0u);
  EXPECT_TRUE(socket.Active());  // the caller decides what a cancel does to the link
}

TEST(TcpWake, ASendToADeviceThatReadsNothingReturnsWhenWoken) {
  SilentPeer device;
  TcpSocket socket;
  socket.Address = "127.0.0.1";
  socket.Port = device.port;
  socket.TimeoutMs = 3'600'000;
  socket.Open();
  device.Accept();
  CancelSignal signal;
  socket.SetCancel(&signal);
  const std::string big(64 << 20, 'B');  // more than the socket buffers hold
  auto sender = std::async(std::launch::async, [&] { socket.Send(big.data(), big.size()); });
  signal.Raise();
  if (sender.wait_for(kStuck) != std::future_status::ready) {
    device.Close();
    FAIL() << "the send was not woken";
  }
  sender.get();
  EXPECT_TRUE(socket.Active());
}

}  // namespace
}  // namespace corvane
