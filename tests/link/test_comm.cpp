// The port helpers: read semantics on a real pseudo-terminal, the write
// deadline, and the drain loop on a scripted port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <optional>

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

TEST(OpenSerialPort, OpensAPseudoTerminalWithoutModemLines) {
  Pty pty;
  auto port = OpenSerialPort(pty.path, 115200, true);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(port->Name(), pty.path);
  // With handshake on, a pty (no modem lines) still counts as ready to send.
  WriteAll(port.get(), Bytes("hello"));
  char buf[5];
  ASSERT_EQ(::read(pty.master, buf, 5), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
}

// The other end going away (the pseudo-terminal's master closed, as when the
// device is killed) reads as a quiet line, and the port knows it hung up.
TEST(OpenSerialPort, AnOtherEndThatGoesAwayIsAHangUp) {
  Pty pty;
  auto port = OpenSerialPort(pty.path, 115200, false);
  ASSERT_NE(port, nullptr);
  port->SetReadTimeout({20, 0});
  pty.Send("a");
  EXPECT_EQ(ReadByte(port.get()), std::optional<uint8_t>('a'));
  EXPECT_FALSE(port->HungUp());
  ::close(pty.master);
  pty.master = -1;
  EXPECT_EQ(ReadByte(port.get()), std::nullopt);
  EXPECT_TRUE(port->HungUp());
}

TEST(LinkErrorDetail, TellsTheSystemsWordsAndWhatToDoNeverTheNumber) {
  EXPECT_EQ(Detail(ENOSPC), "No space left on device. Free some space on that disk and try again");
  EXPECT_EQ(Detail(ECONNREFUSED).rfind("Connection refused. ", 0), 0u) << Detail(ECONNREFUSED);
  // A reason without advice is the system's words alone.
  EXPECT_EQ(Detail(EBADF), "Bad file descriptor");
  EXPECT_EQ(Detail(0), "Unknown error");
}

TEST(OpenSerialPort, MissingPortRaisesTheConnectionErrorAndSaysWhy) {
  try {
    OpenSerialPort("/dev/does-not-exist-corvane", 9600, false);
    FAIL() << "no exception";
  } catch (const DeviceError& e) {
    EXPECT_STREQ(e.what(), "Connection error.\r\nPlease check your connections.");
    EXPECT_EQ(e.Kind(), ErrorKind::kNoConnection);
    EXPECT_NE(e.Detail().find("does not exist"), std::string::npos) << e.Detail();
    EXPECT_NE(e.Detail().find("/dev/does-not-exist-corvane"), std::string::npos) << e.Detail();
  }
}

TEST(OpenSerialPort, UnsupportedBaudRateIsRefused) {
  Pty pty;
  EXPECT_THROW(OpenSerialPort(pty.path, 12345, false), DeviceError);
}

TEST(OpenSerialPort, ExclusiveUseRefusesASecondOpen) {
  Pty pty;
  auto first = OpenSerialPort(pty.path, 9600, false);
  if (::geteuid() == 0) GTEST_SKIP() << "root may open an exclusive tty";
  EXPECT_THROW(OpenSerialPort(pty.path, 9600, false), DeviceError);
}

// Whether the pseudo-terminal is marked for exclusive use (TIOCGEXCL).
bool MarkedExclusive(const Pty& pty) {
  int exclusive = -1;
  EXPECT_EQ(::ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
  return exclusive != 0;
}

TEST(OpenSerialPort, ASecondOpenOfOursIsRefusedAsBusyForRootToo) {
  Pty pty;
  auto first = OpenSerialPort(pty.path, 9600, false);
  try {
    OpenSerialPort(pty.path, 9600, false);
    FAIL() << "the port was opened twice";
  } catch (const DeviceError& e) {
    EXPECT_EQ(e.Kind(), ErrorKind::kNoConnection);
    EXPECT_NE(e.Detail().find("Device or resource busy. Another program is using the port"), std::string::npos)
        << e.Detail();
  }
  // The refused open took nothing away from the first.
  EXPECT_TRUE(MarkedExclusive(pty));
  WriteAll(first.get(), Bytes("still mine"));
  char buf[10];
  ASSERT_EQ(::read(pty.master, buf, sizeof buf), 10);
  // Once it is closed, the port may be opened again.
  first.reset();
  EXPECT_NE(OpenSerialPort(pty.path, 9600, false), nullptr);
}

TEST(OpenSerialPort, ExclusiveUseEndsWithThePortAndAtAnExitWithoutUnwinding) {
  Pty pty;
  auto port = OpenSerialPort(pty.path, 9600, false);
  EXPECT_TRUE(MarkedExclusive(pty));
  port.reset();
  // The pseudo-terminal stays (its master is open), the mark does not.
  EXPECT_FALSE(MarkedExclusive(pty));
  port = OpenSerialPort(pty.path, 9600, false);
  ASSERT_TRUE(MarkedExclusive(pty));
  ReleaseSerialPortsForExit();
  EXPECT_FALSE(MarkedExclusive(pty));
}

TEST(CommRead, ShortCountAndZeroFilledTailOnTimeOut) {
  Pty pty;
  auto port = OpenSerialPort(pty.path, 115200, false);
  SetReadTimeout(port.get(), {50, 0});
  pty.Send("ab");
  Bytes buf(6, 'x');
  EXPECT_EQ(ReadInto(port.get(), buf), 2);
  EXPECT_EQ(buf, std::string("ab\0\0\0\0", 6));
  Bytes none(3, 'x');
  EXPECT_EQ(ReadInto(port.get(), none), 0);
  EXPECT_EQ(none, std::string(3, '\0'));
  Bytes empty;
  EXPECT_EQ(ReadInto(port.get(), empty), 0);
}

TEST(CommRead, TotalDeadlineIsConstantPlusMultiplierTimesCount) {
  Pty pty;
  auto port = OpenSerialPort(pty.path, 115200, false);
  test::FakeClock unused;
  SetReadTimeout(port.get(), {30, 10});  // 30 + 10 * 4 = 70 ms
  Bytes buf(4, '\0');
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadInto(port.get(), buf), 0);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(ms, 69);
}

TEST(CommRead, BytesArrivingInPiecesFillOneRead) {
  Pty pty;
  auto port = OpenSerialPort(pty.path, 115200, false);
  SetReadTimeout(port.get(), {2000, 0});
  pty.Send("12");
  pty.Send("345");
  Bytes buf(5, '\0');
  EXPECT_EQ(ReadInto(port.get(), buf), 5);
  EXPECT_EQ(buf, "12345");
}

TEST(CommPurge, DiscardsWaitingInput) {
  Pty pty;
  auto port = OpenSerialPort(pty.path, 115200, false);
  pty.Send("stale");
  // Give the line discipline the bytes before purging them: read them back through poll.
  SetReadTimeout(port.get(), {0, 0});
  DiscardInput(port.get());
  SetReadTimeout(port.get(), {20, 0});
  Bytes buf(5, '\0');
  EXPECT_EQ(ReadInto(port.get(), buf), 0);
}

TEST(PortWrite, AWriteHeldUpPastItsDeadlineRaisesTheConnectionError) {
  // A pipe nobody reads stands in for a device that stops taking bytes.
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
  TermiosPort port(fds[1], "/dev/ttyHELD", true);
  const uint8_t byte = 'x';
  size_t written = 0;
  try {
    // One byte at a time: each write has its own short deadline, so only
    // the write that finds the pipe full waits, and only for ~110 ms.
    for (; written < (1u << 20); ++written) port.Write(&byte, 1);
    FAIL() << "every write went out";
  } catch (const DeviceError& e) {
    EXPECT_EQ(e.Kind(), ErrorKind::kNoConnection);
    EXPECT_STREQ(e.what(), kConnectionErrorText);
    EXPECT_NE(e.Detail().find("/dev/ttyHELD"), std::string::npos) << e.Detail();
  }
  EXPECT_GE(written, 4096u);  // the bytes that fitted all went out without an error
  ::close(fds[0]);
}

TEST(PortHelpers, MissingPortRaisesTheConnectionError) {
  Bytes buf(1, '\0');
  EXPECT_THROW(ReadInto(nullptr, buf), DeviceError);
  EXPECT_THROW(WriteAll(nullptr, Bytes("x")), DeviceError);
  EXPECT_THROW(SetReadTimeout(nullptr, {1, 1}), DeviceError);
  EXPECT_THROW(DrainInput(nullptr), DeviceError);
}

TEST(CommDrain, EndsAfterAQuietWindowEvenWhenZeroBytesKeepComing) {
  test::FakeClock clock;
  test::ScriptedPort port(clock);
  int rounds = 0;
  port.OnIdle = [&](test::ScriptedPort& p) {
    if (++rounds < 3) p.Queue(Bytes(10, '\0'));
  };
  port.SetReadTimeout({1000, 30});
  DrainInput(&port);
  // The caller's time-out is back.
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
  DrainInput(&port);
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
  port.SetReadTimeout({1000, 0});
  EXPECT_THROW(DrainInput(&port), DeviceError);
  EXPECT_EQ(port.TimeoutConstant(), 1000u);  // put back on the way out too
  EXPECT_GE(clock.NowMs() - start, kDrainLimitMs);
  EXPECT_LT(clock.NowMs() - start, kDrainLimitMs + 1000);
}

TEST(ListSerialPorts, NeverListsTheConsoleAndKeepsExtraPorts) {
  ClearExtraSerialPorts();
  AddExtraSerialPort("/tmp/corvane-test-port");
  AddExtraSerialPort("/tmp/corvane-test-port");
  const std::string list = ListSerialPorts();
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
