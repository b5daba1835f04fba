// The Comm* operations: read semantics on a real pseudo-terminal, and the
// drain loop on a scripted port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "link/link_error.h"
#include "link/serial_port.h"
#include "link/termios_port.h"
#include "scripted_port.h"

namespace corvane {
namespace {

struct Pty {
  int master = -1;
  int slave = -1;
  std::string path;
  Pty() {
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    path = name;
    termios t{};
    ::tcgetattr(master, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(master, TCSANOW, &t);
  }
  ~Pty() {
    ::close(master);
    ::close(slave);
  }
  void Send(const std::string& s) const { ASSERT_EQ(::write(master, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
};

TEST(CommOpen, OpensAPseudoTerminalWithoutModemLines) {
  Pty pty;
  auto port = CommOpen(pty.path, 115200, true);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(port->Name(), pty.path);
  // With handshake on, a pty (no modem lines) still counts as ready to send.
  CommWrite(port.get(), Bytes("hello"));
  char buf[5];
  ASSERT_EQ(::read(pty.master, buf, 5), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
}

TEST(CommOpen, MissingPortRaisesTheConnectionErrorAndSaysWhy) {
  try {
    CommOpen("/dev/does-not-exist-corvane", 9600, false);
    FAIL() << "no exception";
  } catch (const LinkException& e) {
    EXPECT_STREQ(e.what(), "Connection error.\r\nPlease check your connections.");
  }
  EXPECT_NE(LastOpenFailure().find("does not exist"), std::string::npos) << LastOpenFailure();
}

TEST(CommOpen, UnsupportedBaudRateIsRefused) {
  Pty pty;
  EXPECT_THROW(CommOpen(pty.path, 12345, false), LinkException);
}

TEST(CommOpen, ExclusiveUseRefusesASecondOpen) {
  Pty pty;
  auto first = CommOpen(pty.path, 9600, false);
  if (::geteuid() == 0) GTEST_SKIP() << "root may open an exclusive tty";
  EXPECT_THROW(CommOpen(pty.path, 9600, false), LinkException);
}

TEST(CommRead, ShortCountAndZeroFilledTailOnTimeOut) {
  Pty pty;
  auto port = CommOpen(pty.path, 115200, false);
  CommSetTimeouts(port.get(), 50, 0);
  pty.Send("ab");
  Bytes buf(6, 'x');
  EXPECT_EQ(CommRead(port.get(), buf), 2);
  EXPECT_EQ(buf, std::string("ab\0\0\0\0", 6));
  Bytes none(3, 'x');
  EXPECT_EQ(CommRead(port.get(), none), 0);
  EXPECT_EQ(none, std::string(3, '\0'));
  Bytes empty;
  EXPECT_EQ(CommRead(port.get(), empty), 0);
}

TEST(CommRead, TotalDeadlineIsConstantPlusMultiplierTimesCount) {
  Pty pty;
  auto port = CommOpen(pty.path, 115200, false);
  test::FakeClock unused;
  CommSetTimeouts(port.get(), 30, 10);  // 30 + 10 * 4 = 70 ms
  Bytes buf(4, '\0');
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CommRead(port.get(), buf), 0);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(ms, 69);
}

TEST(CommRead, BytesArrivingInPiecesFillOneRead) {
  Pty pty;
  auto port = CommOpen(pty.path, 115200, false);
  CommSetTimeouts(port.get(), 2000, 0);
  pty.Send("12");
  pty.Send("345");
  Bytes buf(5, '\0');
  EXPECT_EQ(CommRead(port.get(), buf), 5);
  EXPECT_EQ(buf, "12345");
}

TEST(CommPurge, DiscardsWaitingInput) {
  Pty pty;
  auto port = CommOpen(pty.path, 115200, false);
  pty.Send("stale");
  // Give the line discipline the bytes before purging them: read them back through poll.
  CommSetTimeouts(port.get(), 0, 0);
  CommPurge(port.get());
  CommSetTimeouts(port.get(), 20, 0);
  Bytes buf(5, '\0');
  EXPECT_EQ(CommRead(port.get(), buf), 0);
}

TEST(CommHandle, MissingPortRaisesTheConnectionError) {
  Bytes buf(1, '\0');
  EXPECT_THROW(CommRead(nullptr, buf), LinkException);
  EXPECT_THROW(CommWrite(nullptr, Bytes("x")), LinkException);
  EXPECT_THROW(CommSetTimeouts(nullptr, 1, 1), LinkException);
  EXPECT_THROW(CommDrain(nullptr, 1, 1), LinkException);
}

TEST(CommDrain, EndsAfterAQuietWindowEvenWhenZeroBytesKeepComing) {
  test::FakeClock clock;
  test::ScriptedPort port(clock);
  int rounds = 0;
  port.OnIdle = [&](test::ScriptedPort& p) {
    if (++rounds < 3) p.Queue(Bytes(10, '\0'));
  };
  CommDrain(&port, 1000, 30);
  EXPECT_EQ(port.TimeoutConstant(), 1000u);
  EXPECT_EQ(port.TimeoutMultiplier(), 30u);
}

TEST(CommDrain, KeepsDiscardingWhileNonZeroBytesArrive) {
  test::FakeClock clock;
  test::ScriptedPort port(clock);
  int noisy = 0;
  port.OnIdle = [&](test::ScriptedPort& p) {
    if (noisy++ < 5) {
      p.Queue("noise");
      clock.Advance(200);
    }
  };
  CommDrain(&port, 2000, 0);
  EXPECT_EQ(noisy, 6);
  EXPECT_GE(port.Purges(), 6);
}

TEST(CommDrain, AChatteringLineEndsWithTheConnectionErrorInsteadOfHanging) {
  test::FakeClock clock;
  test::ScriptedPort port(clock);
  port.OnIdle = [&](test::ScriptedPort& p) {
    p.Queue("$GPGGA,123519,4807.038,N*47\r\n");
    clock.Advance(100);
  };
  const uint64_t start = clock.NowMs();
  EXPECT_THROW(CommDrain(&port, 1000, 0), LinkException);
  EXPECT_GE(clock.NowMs() - start, kDrainLimitMs);
  EXPECT_LT(clock.NowMs() - start, kDrainLimitMs + 1000);
}

TEST(EnumSerialPorts, NeverListsTheConsoleAndKeepsExtraPorts) {
  ClearExtraSerialPorts();
  AddExtraSerialPort("/tmp/corvane-test-port");
  AddExtraSerialPort("/tmp/corvane-test-port");
  const std::string list = EnumSerialPorts();
  ClearExtraSerialPorts();
  EXPECT_NE(list.find("/tmp/corvane-test-port"), std::string::npos);
  EXPECT_EQ(list.find("/tmp/corvane-test-port"), list.rfind("/tmp/corvane-test-port"));
  EXPECT_TRUE(list.empty() || list.back() != '\n');
  std::ifstream active("/sys/class/tty/console/active");
  std::string console;
  while (active >> console) {
    EXPECT_EQ(("\n" + list + "\n").find("\n/dev/" + console + "\n"), std::string::npos) << console;
  }
}

}  // namespace
}  // namespace corvane
