// Cancel during a transfer's blocked wait on a real pseudo-terminal: the
// transfer wakes at once, sends its cancel bytes, and leaves no partial
// file. The port runs on a fake clock that never moves, so only the wake can
// end these waits; a guard unblocks a wait that was not woken (with the bytes
// it waits for) and fails the test instead of hanging.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "fake_clock.h"
#include "gate.h"
#include "link/cancel_signal.h"
#include "link/link_error.h"
#include "link/termios_port.h"
#include "protocol/block_receiver.h"
#include "protocol/block_sender.h"
#include "transfer_peers.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using test::FakeClock;
using test::Gate;
using test::Pattern;
using test::ReadWhole;
using test::Reports;
using test::TempDir;
using test::WriteWhole;

constexpr auto kStuck = 30s;  // a guard against hanging only

// The device's end of a pseudo-terminal; the transfer gets the other end.
struct DeviceEnd {
  int master = -1;
  int slave = -1;
  DeviceEnd() {
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    for (int fd : {master, slave}) {
      termios t{};
      ::tcgetattr(fd, &t);
      ::cfmakeraw(&t);
      ::tcsetattr(fd, TCSANOW, &t);
    }
  }
  ~DeviceEnd() {
    ::close(master);
    ::close(slave);
  }
  void Send(const Bytes& b) const { ASSERT_EQ(::write(master, b.data(), b.size()), static_cast<ssize_t>(b.size())); }
  // Reads exactly n bytes (blocking).
  Bytes Take(size_t n) const {
    Bytes out;
    char buf[2048];
    while (out.size() < n) {
      const ssize_t r = ::read(master, buf, std::min(sizeof buf, n - out.size()));
      if (r <= 0) break;
      out.append(buf, static_cast<size_t>(r));
    }
    return out;
  }
  // What is there now, without waiting.
  Bytes Pending() const {
    Bytes out;
    char buf[2048];
    for (;;) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 0) != 1) break;
      const ssize_t r = ::read(master, buf, sizeof buf);
      if (r <= 0) break;
      out.append(buf, static_cast<size_t>(r));
    }
    return out;
  }
};

struct WakeRig {
  DeviceEnd device;
  FakeClock clock;
  TermiosPort port{device.slave, "pty", false, false, clock};
  CancelSignal cancel;
  CancelBinding<SerialPort> wake{&port, cancel};
  Reports reports;
  TempDir dir;
};

TEST(TransferWake, CancelDuringTheReceiversBlockedReadSendsCanAndKeepsTheOldFile) {
  WakeRig rig;
  const std::string path = rig.dir / "got.bin";
  WriteWhole(path, "the old copy");
  Gate reading;  // the receiver reports progress just before it reads a block
  rig.reports.OnReport = [&](const Report& r) {
    if (r.kind == kReportProgress) reading.Open();
  };
  BlockReceiver rx(&rig.port, 4096, rig.reports.Handler(), path, rig.clock, &rig.cancel.Flag());
  auto run = std::async(std::launch::async, [&] { return rx.Run(); });

  ASSERT_EQ(rig.device.Take(1), Bytes(1, static_cast<char>(kNak)));
  // Block 1 starts and stops halfway: the receiver waits for the rest.
  const Bytes block = test::DeviceBlock(1, Pattern(1024));
  rig.device.Send(block.substr(0, 500));
  reading.Wait();
  rig.cancel.Raise();
  if (run.wait_for(kStuck) != std::future_status::ready) {
    rig.device.Send(block.substr(500));
    FAIL() << "the receiver's read was not woken";
  }
  EXPECT_FALSE(run.get());
  EXPECT_EQ(rx.FailureKind(), ErrorKind::kCancelled);
  EXPECT_EQ(rig.device.Pending(), Bytes(4, static_cast<char>(kCan)));  // no ACK, no NAK: the cancel bytes
  EXPECT_EQ(ReadWhole(path), "the old copy");
  EXPECT_EQ(rig.dir.Entries(), std::vector<std::string>{"got.bin"});  // no partial file beside it
  rig.reports.ExpectFinishedLast();
  EXPECT_EQ(rig.reports.Texts(kReportMessage), std::vector<std::string>{kConnectionErrorText});
}

TEST(TransferWake, CancelWhileTheSenderWaitsForTheBlocksReplySendsCan) {
  WakeRig rig;
  const std::string path = rig.dir / "out.bin";
  const Bytes content = Pattern(3000);
  WriteWhole(path, content);
  BlockSender tx(&rig.port, rig.reports.Handler(), path, rig.clock, &rig.cancel.Flag());
  auto run = std::async(std::launch::async, [&] { return tx.Run(); });

  rig.device.Send("C");
  // The whole first block: the sender now waits for its reply, which never comes.
  ASSERT_EQ(rig.device.Take(1029).size(), 1029u);
  rig.cancel.Raise();
  if (run.wait_for(kStuck) != std::future_status::ready) {
    rig.device.Send(Bytes(1, static_cast<char>(kCan)));
    FAIL() << "the sender's read was not woken";
  }
  EXPECT_FALSE(run.get());
  EXPECT_EQ(tx.FailureKind(), ErrorKind::kCancelled);
  EXPECT_EQ(rig.device.Pending(), Bytes(3, static_cast<char>(kCan)));
  EXPECT_EQ(ReadWhole(path), content);
  rig.reports.ExpectFinishedLast();
}

}  // namespace
}  // namespace corvane
