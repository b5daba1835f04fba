// `corvane mount` as a program against corvane-emu, used through ordinary
// file calls on the mount point: sizes, bytes both ways, renames, what the
// device cannot do, a put the device loses, an interrupted read, a device
// that goes away, and the signals that end the mount.
//
// They need /dev/fuse and fusermount3. Without them the tests are skipped,
// and fail when CI is set.
#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../cli/child_process.h"
#include "../cli/emulator_process.h"

namespace corvane::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

bool IsMounted(const fs::path& point) {
  std::ifstream mounts("/proc/self/mounts");
  std::string device, where, rest;
  while (mounts >> device >> where && std::getline(mounts, rest))
    if (where == point.string()) return true;
  return false;
}

// Waits until `point` is no longer mounted: the mount table wakes poll()
// with POLLPRI whenever it changes.
bool WaitUnmounted(const fs::path& point, std::chrono::milliseconds within) {
  const auto end = Clock::now() + within;
  const int fd = ::open("/proc/self/mounts", O_RDONLY | O_CLOEXEC);
  while (IsMounted(point)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLPRI, 0};
    ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
    char buf[4096];
    ::lseek(fd, 0, SEEK_SET);
    while (::read(fd, buf, sizeof buf) > 0) {
    }
  }
  ::close(fd);
  return !IsMounted(point);
}

// What a file call left in errno, 0 for success.
int ErrnoOf(int result) { return result < 0 ? errno : 0; }

// corvane-emu on a pseudo-terminal or on 127.0.0.1; its log is read as it comes.
class Emulator {
 public:
  Emulator(const std::string& kind, bool tcp, std::vector<std::string> extra = {}) {
    fs::create_directory(Root());
    std::vector<std::string> argv = {ProgramsUnderTest().emulator, "--kind", kind, "--root", Root().string()};
    if (tcp) {
      argv.insert(argv.end(), {"--tcp", "0"});
    } else {
      argv.insert(argv.end(), {"--pty", (m_dir.Path() / "port").string()});
    }
    argv.insert(argv.end(), extra.begin(), extra.end());
    m_process = std::make_unique<ChildProcess>(argv);
    for (;;) {
      const auto line = m_process->OutLine(10s);
      if (!line) throw std::runtime_error("the emulator did not start: " + m_process->Err());
      if (line->rfind("Serial port:", 0) == 0) {
        m_link = {"--kind", kind, "--port", (m_dir.Path() / "port").string()};
        break;
      }
      const std::string said = "TCP/IP: 127.0.0.1 port ";
      if (line->rfind(said, 0) == 0) {
        m_link = {"--tcp", "127.0.0.1:" + line->substr(said.size())};
        break;
      }
    }
  }
  fs::path Root() const { return m_dir.Path() / "root"; }
  const std::vector<std::string>& Link() const { return m_link; }
  bool LogSays(const std::string& text, std::chrono::milliseconds within) {
    const auto end = Clock::now() + within;
    while (Clock::now() < end) {
      const auto line = m_process->OutLine(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
      if (!line) return false;
      if (Has(*line, text)) return true;
    }
    return false;
  }
  void Kill() {
    m_process->Signal(SIGKILL);
    m_process->Wait(10s);
  }

 private:
  TempFolder m_dir;
  std::unique_ptr<ChildProcess> m_process;
  std::vector<std::string> m_link;
};

// `corvane mount` of the emulator's device at a folder of its own.
class Mount {
 public:
  explicit Mount(const Emulator& emu, std::vector<std::string> extra = {}) : m_point(m_dir.Path() / "mnt") {
    fs::create_directory(m_point);
    std::vector<std::string> argv = {ProgramsUnderTest().tool};
    argv.insert(argv.end(), emu.Link().begin(), emu.Link().end());
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.insert(argv.end(), {"mount", m_point.string()});
    m_process = std::make_unique<ChildProcess>(argv);
    for (;;) {
      const auto line = m_process->OutLine(20s);
      if (!line) throw std::runtime_error("corvane mount did not mount: " + m_process->Err());
      if (line->rfind("Mounted the device at " + m_point.string(), 0) == 0) break;
    }
  }
  ~Mount() {
    if (!m_process) return;
    m_process->Signal(SIGTERM);
    m_process->Wait(20s);
    if (IsMounted(m_point)) std::system(("fusermount3 -u -z " + m_point.string()).c_str());
  }
  const fs::path& Point() const { return m_point; }
  fs::path operator/(const std::string& name) const { return m_point / name; }
  ChildProcess& Process() { return *m_process; }

 private:
  TempFolder m_dir;
  fs::path m_point;
  std::unique_ptr<ChildProcess> m_process;
};

// Writes `data` as a new file through open/write/close; the errno of the
// first call that failed, 0 when all went through.
int WriteThrough(const fs::path& p, const std::string& data) {
  const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return errno;
  if (!data.empty() && ::write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
    const int err = errno;
    ::close(fd);
    return err;
  }
  return ErrnoOf(::close(fd));
}

std::set<std::string> Names(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename().string());
  return names;
}

int RunProgram(const std::vector<std::string>& argv) {
  ChildProcess p(argv);
  return p.Wait(60s).value_or(-1);
}

// An open() on its own thread, interrupted by a signal the test sends it.
void OnSignal(int) {}

struct BlockedOpen {
  explicit BlockedOpen(fs::path p) : path(std::move(p)) {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGUSR2, &sa, nullptr);  // no SA_RESTART: the call returns EINTR
    thread = std::thread([this] {
      const int fd = ::open(path.c_str(), O_RDONLY);
      error = fd < 0 ? errno : 0;
      if (fd >= 0) ::close(fd);
      endedAt = Clock::now();
      done.store(true);
    });
  }
  ~BlockedOpen() {
    if (thread.joinable()) thread.join();
  }
  fs::path path;
  std::thread thread;
  std::atomic<bool> done{false};
  int error = -1;
  Clock::time_point endedAt;
};

class MountProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(ProgramsUnderTest().tool.empty()) << "give --corvane=PATH or CORVANE_CLI";
    ASSERT_FALSE(ProgramsUnderTest().emulator.empty()) << "give --corvane-emu=PATH or CORVANE_EMU";
    const bool fuse = ::access("/dev/fuse", R_OK | W_OK) == 0;
    const bool helper = ::access("/usr/bin/fusermount3", X_OK) == 0 || ::access("/bin/fusermount3", X_OK) == 0;
    if (!fuse || !helper) {
      const std::string why = !fuse ? "/dev/fuse cannot be opened" : "fusermount3 is missing";
      if (std::getenv("CI") != nullptr) FAIL() << "the mount tests cannot run: " << why;
      GTEST_SKIP() << "the mount tests cannot run: " << why;
    }
  }
};

TEST_F(MountProcess, QuillonFilesReadWriteRenameAndDeleteAsOnTheDevice) {
  Emulator emu("quillon", false);
  const std::string small = RandomBytes(5000, 1), other = RandomBytes(777, 2), empty;
  WriteFile(emu.Root() / "a.txt", "hello\n");
  WriteFile(emu.Root() / "sub" / "b.bin", small);
  WriteFile(emu.Root() / "sub" / "c.bin", other);
  WriteFile(emu.Root() / "sub" / "e.bin", empty);
  Mount mnt(emu);

  EXPECT_EQ(Names(mnt.Point()), (std::set<std::string>{"a.txt", "sub"}));
  EXPECT_TRUE(fs::is_directory(mnt / "sub"));
  // The sizes are what reads return, byte for byte the device's files.
  for (const char* name : {"sub/b.bin", "sub/c.bin", "sub/e.bin"}) {
    EXPECT_EQ(fs::file_size(mnt / name), fs::file_size(emu.Root() / name)) << name;
    EXPECT_TRUE(ReadFile(mnt / name) == ReadFile(emu.Root() / name)) << name;
  }
  EXPECT_EQ(ReadFile(mnt / "a.txt"), "hello\n");

  // A new file lands whole when it is closed.
  const std::string fresh = RandomBytes(3000, 3);
  EXPECT_EQ(WriteThrough(mnt / "sub" / "new.bin", fresh), 0);
  EXPECT_TRUE(ReadFile(emu.Root() / "sub" / "new.bin") == fresh);
  EXPECT_EQ(fs::file_size(mnt / "sub" / "new.bin"), fresh.size());

  // Rename onto an existing name (rsync's way), across folders (EXDEV, so
  // mv copies), and what the protocol cannot do.
  EXPECT_EQ(ErrnoOf(::rename((mnt / "sub" / "new.bin").c_str(), (mnt / "sub" / "b.bin").c_str())), 0);
  EXPECT_TRUE(ReadFile(emu.Root() / "sub" / "b.bin") == fresh);
  EXPECT_TRUE(ReadFile(mnt / "sub" / "b.bin") == fresh) << "a copy of the old b.bin was served";
  EXPECT_FALSE(fs::exists(emu.Root() / "sub" / "new.bin"));
  EXPECT_EQ(ErrnoOf(::rename((mnt / "a.txt").c_str(), (mnt / "sub" / "a.txt").c_str())), EXDEV);
  EXPECT_TRUE(fs::exists(emu.Root() / "a.txt"));
  EXPECT_EQ(ErrnoOf(::mkdir((mnt / "newdir").c_str(), 0755)), EPERM);
  EXPECT_EQ(ErrnoOf(::rmdir((mnt / "sub").c_str())), EPERM);
  EXPECT_TRUE(fs::is_directory(emu.Root() / "sub"));
  EXPECT_EQ(ErrnoOf(::unlink((mnt / "sub" / "e.bin").c_str())), 0);
  EXPECT_FALSE(fs::exists(emu.Root() / "sub" / "e.bin"));
  EXPECT_EQ(ErrnoOf(::access((mnt / "sub" / "e.bin").c_str(), F_OK)), ENOENT);
}

TEST_F(MountProcess, AChangeMadeOnTheDeviceShowsOnceTheListingIsOld) {
  Emulator emu("quillon", false);
  WriteFile(emu.Root() / "a.bin", "one");
  Mount mnt(emu);
  EXPECT_EQ(ReadFile(mnt / "a.bin"), "one");
  WriteFile(emu.Root() / "late.bin", "late");
  WriteFile(emu.Root() / "a.bin", "three");
  const auto changed = Clock::now();
  // Kept a few seconds: shown at once would mean a listing each time.
  EXPECT_FALSE(fs::exists(mnt / "late.bin"));
  bool shown = false;
  // The listing's lifetime is real time: looked at a few times a second.
  while (!shown && Clock::now() - changed < 10s) {
    std::this_thread::sleep_for(100ms);
    shown = fs::exists(mnt / "late.bin");
  }
  EXPECT_TRUE(shown);
  // The new listing shows the new size, and the copy of the old file is not used.
  EXPECT_EQ(ReadFile(mnt / "a.bin"), "three");
}

TEST_F(MountProcess, TallisSizesHoldTheHeaderAndNamesItCannotTakeAreRefused) {
  Emulator emu("tallis", false);
  const std::string body = RandomBytes(100, 6);
  WriteFile(emu.Root() / "obj", body);
  Mount mnt(emu);
  // A plain file is served as an object: its header comes first.
  const std::string fetched = ReadFile(mnt / "obj");
  EXPECT_EQ(fs::file_size(mnt / "obj"), fetched.size());
  ASSERT_EQ(fetched.size(), body.size() + 9);
  EXPECT_EQ(fetched.substr(0, 5), "CVOBJ");
  EXPECT_TRUE(fetched.substr(9) == body);
  // The fetched form goes back as it came, and reads back the same.
  EXPECT_EQ(WriteThrough(mnt / "copy", fetched), 0);
  EXPECT_TRUE(ReadFile(emu.Root() / "copy") == fetched);
  EXPECT_TRUE(ReadFile(mnt / "copy") == fetched);
  // A blank or a quote cannot go in the Tallis's command lines: refused, nothing sent.
  EXPECT_EQ(WriteThrough(mnt / "a b", "x"), EINVAL);
  EXPECT_EQ(ErrnoOf(::rename((mnt / "copy").c_str(), (mnt / "it's").c_str())), EINVAL);
  EXPECT_EQ(Names(emu.Root()), (std::set<std::string>{"copy", "obj"}));
}

TEST_F(MountProcess, OverTcpFilesGoBothWaysAndAPutTheDeviceLosesFailsClose) {
  // The second file put is taken whole and then not stored.
  Emulator emu("quillon", true, {"--lose-put", "2"});
  const std::string data = RandomBytes(70000, 7);
  WriteFile(emu.Root() / "d.bin", data);
  Mount mnt(emu);
  EXPECT_TRUE(ReadFile(mnt / "d.bin") == data);
  EXPECT_EQ(WriteThrough(mnt / "first.bin", data), 0);
  EXPECT_TRUE(ReadFile(emu.Root() / "first.bin") == data);
  EXPECT_EQ(WriteThrough(mnt / "lost.bin", data), EIO);
  EXPECT_FALSE(fs::exists(emu.Root() / "lost.bin"));
  EXPECT_FALSE(fs::exists(mnt / "lost.bin"));
  // The mount goes on.
  EXPECT_EQ(WriteThrough(mnt / "again.bin", "ok"), 0);
  EXPECT_EQ(ReadFile(emu.Root() / "again.bin"), "ok");
}

TEST_F(MountProcess, RsyncArchivesBothWaysAndTouchWorkThoughTheDeviceKeepsNoTimes) {
  Emulator emu("quillon", true);
  WriteFile(emu.Root() / "sub" / "x.bin", RandomBytes(3000, 20));
  WriteFile(emu.Root() / "sub" / "f1.bin", "the old f1");
  Mount mnt(emu);
  TempFolder local;
  // f1.bin goes to a temporary name and is then renamed onto the old one.
  WriteFile(local.Path() / "in" / "f1.bin", RandomBytes(2000, 21));
  WriteFile(local.Path() / "in" / "f2.txt", "two\n");
  // Modes and times are taken and have no effect: the copy is whole and says so.
  EXPECT_EQ(RunProgram({"/usr/bin/rsync", "-a", (local.Path() / "in").string() + "/", (mnt / "sub").string() + "/"}),
            0);
  EXPECT_TRUE(ReadFile(emu.Root() / "sub" / "f1.bin") == ReadFile(local.Path() / "in" / "f1.bin"));
  EXPECT_EQ(ReadFile(emu.Root() / "sub" / "f2.txt"), "two\n");
  EXPECT_EQ(RunProgram({"/usr/bin/rsync", "-a", mnt.Point().string() + "/", (local.Path() / "out").string() + "/"}),
            0);
  EXPECT_EQ(RunProgram({"/usr/bin/diff", "-r", (local.Path() / "out").string(), emu.Root().string()}), 0);
  EXPECT_EQ(RunProgram({"/usr/bin/diff", "-r", mnt.Point().string(), emu.Root().string()}), 0);
  for (const std::string& leftover : Names(emu.Root() / "sub")) EXPECT_NE(leftover[0], '.') << leftover;
  EXPECT_EQ(RunProgram({"/usr/bin/touch", (mnt / "touched").string()}), 0);
  EXPECT_TRUE(fs::exists(emu.Root() / "touched"));
}

// The mount's cache on a small disk (a tmpfs; mounting one needs root). It
// is filled up to what LeaveFree() leaves once the mount runs: a sanitizer's
// runtime may keep a file of its own in TMPDIR.
class SmallCacheDisk {
 public:
  SmallCacheDisk() {
    fs::create_directory(m_dir.Path() / "disk");
    m_mounted = ::mount("tmpfs", (m_dir.Path() / "disk").c_str(), "tmpfs", 0, "size=16m") == 0;
    if (const char* old = std::getenv("TMPDIR")) m_old = old;
    if (m_mounted) ::setenv("TMPDIR", (m_dir.Path() / "disk").c_str(), 1);
  }
  ~SmallCacheDisk() {
    if (m_old) ::setenv("TMPDIR", m_old->c_str(), 1); else ::unsetenv("TMPDIR");
    if (m_mounted) ::umount2((m_dir.Path() / "disk").c_str(), MNT_DETACH);
  }
  bool Mounted() const { return m_mounted; }
  void LeaveFree(int64_t bytes) {
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs((m_dir.Path() / "disk").c_str(), &vfs), 0);
    const int64_t free = static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
    ASSERT_GT(free, bytes);
    WriteFile(m_dir.Path() / "disk" / "filler", std::string(static_cast<size_t>(free - bytes), 'f'));
  }

 private:
  TempFolder m_dir;
  bool m_mounted = false;
  std::optional<std::string> m_old;
};

TEST_F(MountProcess, ACacheDiskWithoutRoomFailsTheCallAndNothingCutShortReachesTheDevice) {
  Emulator emu("quillon", true);
  WriteFile(emu.Root() / "big.bin", RandomBytes(100000, 10));
  WriteFile(emu.Root() / "small.bin", "small");
  SmallCacheDisk disk;
  if (!disk.Mounted()) GTEST_SKIP() << "a tmpfs cannot be mounted here (it needs root)";
  Mount mnt(emu);
  disk.LeaveFree(64 << 10);
  // Refused before anything is fetched: the disk cannot hold it.
  EXPECT_EQ(ErrnoOf(::open((mnt / "big.bin").c_str(), O_RDONLY)), ENOSPC);
  EXPECT_EQ(ReadFile(mnt / "small.bin"), "small");
  // A file that does not fit the local copy fails write() and close(), and
  // the device is not given the part that fitted.
  const std::string data = RandomBytes(100000, 11);
  const int fd = ::open((mnt / "new.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  int writeError = 0;
  for (size_t at = 0; at < data.size() && writeError == 0; at += 4096) {
    const size_t n = std::min<size_t>(4096, data.size() - at);
    if (::write(fd, data.data() + at, n) != static_cast<ssize_t>(n)) writeError = errno;
  }
  EXPECT_EQ(writeError, ENOSPC);
  EXPECT_EQ(ErrnoOf(::close(fd)), ENOSPC);
  EXPECT_FALSE(fs::exists(emu.Root() / "new.bin"));
  // Its room is given back, and the mount goes on.
  EXPECT_EQ(WriteThrough(mnt / "fits.bin", "fits"), 0);
  EXPECT_EQ(ReadFile(emu.Root() / "fits.bin"), "fits");
}

TEST_F(MountProcess, AnInterruptedReadOnAPacedLineEndsAtOnceWithEintrAndTheMountGoesOn) {
  // 40 KB at 9600 baud take some forty seconds.
  Emulator emu("quillon", false, {"--line-rate", "9600"});
  WriteFile(emu.Root() / "big.bin", RandomBytes(40000, 8));
  WriteFile(emu.Root() / "small.bin", "small");
  Mount mnt(emu);
  ASSERT_TRUE(fs::exists(mnt / "big.bin"));
  BlockedOpen reader(mnt / "big.bin");
  ASSERT_TRUE(emu.LogSays("Get big.bin", 20s));
  ASSERT_FALSE(reader.done.load());
  const auto sent = Clock::now();
  ::pthread_kill(reader.thread.native_handle(), SIGUSR2);
  reader.thread.join();
  EXPECT_EQ(reader.error, EINTR);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(reader.endedAt - sent);
  EXPECT_LT(took.count(), 1000) << "the interrupted open took " << took.count() << " ms";
  // The device was told (cancel bytes), and the mount still serves.
  EXPECT_TRUE(emu.LogSays("cancelled", 10s));
  EXPECT_EQ(ReadFile(mnt / "small.bin"), "small");
}

TEST_F(MountProcess, ADeviceThatGoesAwayMidReadGivesEioAndTheMountEndsWithThree) {
  Emulator emu("quillon", false, {"--line-rate", "9600"});
  WriteFile(emu.Root() / "big.bin", RandomBytes(40000, 9));
  Mount mnt(emu);
  ASSERT_TRUE(fs::exists(mnt / "big.bin"));
  BlockedOpen reader(mnt / "big.bin");
  ASSERT_TRUE(emu.LogSays("Get big.bin", 20s));
  emu.Kill();
  reader.thread.join();
  EXPECT_TRUE(reader.error == EIO || reader.error == ENOTCONN) << reader.error;
  const auto status = mnt.Process().Wait(30s);
  ASSERT_TRUE(status.has_value()) << "corvane mount did not end";
  EXPECT_EQ(*status, 3) << mnt.Process().Err();
  EXPECT_TRUE(WaitUnmounted(mnt.Point(), 5s));
}

TEST_F(MountProcess, EachEndingSignalUnmountsAndEndsWithZero) {
  Emulator emu("quillon", false);
  WriteFile(emu.Root() / "a.bin", "a");
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    Mount mnt(emu);
    EXPECT_EQ(ReadFile(mnt / "a.bin"), "a");
    mnt.Process().Signal(sig);
    const auto status = mnt.Process().Wait(20s);
    ASSERT_TRUE(status.has_value()) << "signal " << sig;
    EXPECT_EQ(*status, 0) << "signal " << sig << ": " << mnt.Process().Err();
    EXPECT_FALSE(IsMounted(mnt.Point())) << "signal " << sig;
  }
  // Killed outright, it leaves no dead mount behind either.
  Mount killed(emu);
  killed.Process().Signal(SIGKILL);
  killed.Process().Wait(10s);
  EXPECT_TRUE(WaitUnmounted(killed.Point(), 10s));
}

TEST_F(MountProcess, AFolderThatCannotTakeTheMountIsSaidBeforeAnyDeviceIsLookedFor) {
  TempFolder dir;
  WriteFile(dir.Path() / "full" / "x", "x");
  const std::string nowhere = (dir.Path() / "no-port").string();
  for (const auto& [point, said] : {std::pair{dir.Path() / "missing", "Make the folder first"},
                                    std::pair{dir.Path() / "full", "the folder is not empty"}}) {
    ChildProcess p({ProgramsUnderTest().tool, "--kind", "quillon", "--port", nowhere, "mount", point.string()});
    EXPECT_EQ(p.Wait(20s).value_or(-1), 4) << point;
    EXPECT_TRUE(Has(p.Err(), said)) << p.Err();
    EXPECT_FALSE(Has(p.Err(), nowhere)) << "the port was tried first: " << p.Err();
  }
}

TEST_F(MountProcess, UnmountedFromOutsideItEndsWithZero) {
  Emulator emu("quillon", false);
  Mount mnt(emu);
  ASSERT_EQ(RunProgram({"/usr/bin/fusermount3", "-u", mnt.Point().string()}), 0);
  const auto status = mnt.Process().Wait(20s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0) << mnt.Process().Err();
  EXPECT_TRUE(Has(mnt.Process().Out(), "Unmounted " + mnt.Point().string()));
}

}  // namespace
}  // namespace corvane::test

int main(int argc, char** argv) { return corvane::test::RunProgramTests(argc, argv); }
