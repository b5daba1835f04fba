// The port watch on real folders: links to a pseudo-terminal plugged in and
// out, a folder that appears and vanishes, entries that are no ports, and
// that nothing the watch lists is ever opened (an inotify watch for opens on
// the pseudo-terminal and on a FIFO tells).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "link/cancel_signal.h"
#include "link/port_watch.h"
#include "link/serial_port.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

constexpr int kWaitMs = 10000;  // only reached when the watch misses an event

// The master of a pseudo-terminal whose slave nobody opens.
struct PtyMaster {
  int fd = -1;
  std::string slave;
  PtyMaster() {
    fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || ::grantpt(fd) != 0 || ::unlockpt(fd) != 0) throw std::runtime_error("posix_openpt");
    slave = ::ptsname(fd);
  }
  ~PtyMaster() { ::close(fd); }
};

// Counts the opens of files: any open of a watched file is an event.
struct OpenSpy {
  int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ~OpenSpy() { ::close(fd); }
  void Watch(const std::string& path) { ASSERT_GE(::inotify_add_watch(fd, path.c_str(), IN_OPEN), 0) << path; }
  int Opens() const {
    int count = 0;
    alignas(inotify_event) char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
      for (ssize_t at = 0; at < n; at += static_cast<ssize_t>(sizeof(inotify_event) + reinterpret_cast<inotify_event*>(buf + at)->len))
        ++count;
    return count;
  }
};

class PortWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/corvane-portwatch-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    base = pattern;
    dir = base / "ports";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(base, ec);
  }
  PortWatch::Options FolderOnly() const {
    PortWatch::Options o;
    o.folders = {dir.string()};
    o.systemPorts = false;
    return o;
  }
  fs::path base;
  fs::path dir;
};

TEST_F(PortWatchTest, LinkToAPseudoTerminalAppearsAndVanishesWithoutBeingOpened) {
  fs::create_directory(dir);
  PtyMaster pty;
  const std::string fifo = (base / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  OpenSpy spy;
  spy.Watch(pty.slave);
  spy.Watch(fifo);

  PortWatch watch(FolderOnly());
  EXPECT_TRUE(watch.Ports().empty());
  EXPECT_EQ(watch.TakeChanges().added.size(), 0u);

  // A link to a FIFO is no port; the pseudo-terminal's is.
  fs::create_symlink(fifo, dir / "ttyFIFO");
  fs::create_symlink(pty.slave, dir / "ttyEMU");
  pollfd p{watch.Fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, kWaitMs), 1) << "the watch's descriptor is not readable after a plug-in";
  PortWatch::Changes c = watch.WaitForChanges(kWaitMs);
  ASSERT_EQ(c.added, std::vector<std::string>{(dir / "ttyEMU").string()});
  EXPECT_TRUE(c.removed.empty());
  EXPECT_EQ(watch.Ports(), std::vector<std::string>{(dir / "ttyEMU").string()});
  // Nothing left to report: the descriptor is quiet again.
  EXPECT_TRUE(watch.TakeChanges().Empty());
  EXPECT_EQ(::poll(&p, 1, 0), 0);

  fs::remove(dir / "ttyEMU");
  c = watch.WaitForChanges(kWaitMs);
  EXPECT_TRUE(c.added.empty());
  EXPECT_EQ(c.removed, std::vector<std::string>{(dir / "ttyEMU").string()});
  EXPECT_TRUE(watch.Ports().empty());

  EXPECT_EQ(spy.Opens(), 0) << "listing or watching opened a port";
}

TEST_F(PortWatchTest, FolderThatAppearsVanishesAndComesBackIsFollowed) {
  PtyMaster pty;
  PortWatch watch(FolderOnly());  // the folder does not exist yet
  EXPECT_TRUE(watch.Ports().empty());

  fs::create_directory(dir);
  fs::create_symlink(pty.slave, dir / "ttyUSB7");
  PortWatch::Changes c = watch.WaitForChanges(kWaitMs);
  if (c.added.empty()) c = watch.WaitForChanges(kWaitMs);  // the folder first, its link in the next batch
  ASSERT_EQ(c.added, std::vector<std::string>{(dir / "ttyUSB7").string()});

  fs::remove_all(dir);
  c = watch.WaitForChanges(kWaitMs);
  EXPECT_EQ(c.removed, std::vector<std::string>{(dir / "ttyUSB7").string()});

  // Made again (as udev makes /dev/serial/by-id again): watched again.
  fs::create_directory(dir);
  fs::create_symlink(pty.slave, dir / "ttyUSB8");
  c = watch.WaitForChanges(kWaitMs);
  if (c.added.empty()) c = watch.WaitForChanges(kWaitMs);
  EXPECT_EQ(c.added, std::vector<std::string>{(dir / "ttyUSB8").string()});
}

TEST_F(PortWatchTest, DeviceThatGoesAwayUnderItsLinkIsRemoved) {
  fs::create_directory(dir);
  auto pty = std::make_unique<PtyMaster>();
  fs::create_symlink(pty->slave, dir / "ttyACM0");
  PortWatch watch(FolderOnly());
  ASSERT_EQ(watch.Ports(), std::vector<std::string>{(dir / "ttyACM0").string()});
  // The device node goes first (the cable is pulled) and the link is
  // removed after it: the removal of the link tells.
  pty.reset();
  fs::remove(dir / "ttyACM0");
  const PortWatch::Changes c = watch.WaitForChanges(kWaitMs);
  EXPECT_EQ(c.removed, std::vector<std::string>{(dir / "ttyACM0").string()});
}

TEST_F(PortWatchTest, WaitEndsAtItsTimeOutOrCancel) {
  fs::create_directory(dir);
  PortWatch watch(FolderOnly());
  // Files that are no ports change nothing.
  std::ofstream(dir / "notes.txt") << "x";
  EXPECT_TRUE(watch.WaitForChanges(50).Empty());
  CancelSignal cancel;
  cancel.Raise();
  EXPECT_TRUE(watch.WaitForChanges(kWaitMs, &cancel).Empty());
}

TEST_F(PortWatchTest, FolderListingHoldsDevicesAndLinksToThemOnly) {
  fs::create_directory(dir);
  PtyMaster pty;
  fs::create_symlink(pty.slave, dir / "ttyB");
  fs::create_symlink("/dev/null", dir / "ttyA");          // a character device too
  fs::create_symlink(base / "gone", dir / "ttyDangling");  // its device has gone
  std::ofstream(dir / "ttyFile") << "x";
  fs::create_directory(dir / "ttyFolder");
  fs::create_symlink(pty.slave, dir / ".hidden");
  EXPECT_EQ(ListPortsInFolder(dir.string()),
            (std::vector<std::string>{(dir / "ttyA").string(), (dir / "ttyB").string()}));
  EXPECT_TRUE(ListPortsInFolder((base / "missing").string()).empty());

  // A folder given to the port list is listed with the system's ports.
  AddSerialPortFolder(dir.string());
  const std::string all = ListSerialPorts();
  ClearExtraSerialPorts();
  EXPECT_NE(all.find((dir / "ttyB").string()), std::string::npos) << all;
  EXPECT_EQ(ListSerialPorts().find((dir / "ttyB").string()), std::string::npos);
}

TEST_F(PortWatchTest, PortNamedBeforeItExistsCountsAsAddedWhenItsDeviceComes) {
  fs::create_directory(dir);
  PtyMaster pty;
  const std::string named = (dir / "ttyLATER").string();
  AddExtraSerialPort(named);  // listed by name whether it exists or not
  PortWatch::Options o = FolderOnly();
  o.systemPorts = true;
  o.useUdev = false;
  PortWatch watch(o);
  const auto& before = watch.Ports();
  EXPECT_EQ(std::find(before.begin(), before.end(), named), before.end());
  fs::create_symlink(pty.slave, named);
  PortWatch::Changes c;
  for (int i = 0; i < 5 && c.added.empty(); ++i) c = watch.WaitForChanges(kWaitMs);  // /dev may have its say first
  ClearExtraSerialPorts();
  EXPECT_NE(std::find(c.added.begin(), c.added.end(), named), c.added.end());
}

TEST_F(PortWatchTest, SystemPortsWatchedByInotifyWhereUdevDoesNotRun) {
  PortWatch::Options o;
  o.useUdev = false;
  PortWatch watch(o);
  EXPECT_EQ(watch.WatchedBy(), PortWatch::Source::kInotify);
  // Nothing is plugged in meanwhile, so no change is reported.
  EXPECT_TRUE(watch.TakeChanges().Empty());
  if (::access("/run/udev/control", F_OK) != 0) {
    PortWatch automatic(PortWatch::Options{});
    EXPECT_EQ(automatic.WatchedBy(), PortWatch::Source::kInotify);
  }
}

}  // namespace
}  // namespace corvane
