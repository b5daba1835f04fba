// The corvane tool run as a program against corvane-emu over TCP/IP: a put
// counts only once the device holds the whole file, announced lengths and
// slow devices have their limits, and --tcp speaks the Quillon's protocol.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "emulator_process.h"

namespace corvane::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The programs under test: --corvane=PATH and --corvane-emu=PATH on the
// command line, or CORVANE_CLI and CORVANE_EMU in the environment.
std::string& g_tool = ProgramsUnderTest().tool;
std::string& g_emulator = ProgramsUnderTest().emulator;

// corvane-emu serving a Quillon's folder on 127.0.0.1, on a port it picks.
class TcpEmulator {
 public:
  explicit TcpEmulator(const std::vector<std::string>& extra = {}) {
    fs::create_directory(Root());
    std::vector<std::string> argv = {g_emulator, "--kind", "quillon", "--root", Root().string(), "--tcp", "0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    m_process = std::make_unique<ChildProcess>(argv);
    const std::string said = "TCP/IP: 127.0.0.1 port ";
    for (;;) {
      const auto line = m_process->OutLine(10s);
      if (!line) throw std::runtime_error("the emulator did not start: " + m_process->Err());
      if (line->rfind(said, 0) == 0) {
        m_port = line->substr(said.size());
        break;
      }
    }
  }
  ~TcpEmulator() { Stop(); }
  TcpEmulator(const TcpEmulator&) = delete;
  TcpEmulator& operator=(const TcpEmulator&) = delete;

  fs::path Root() const { return m_dir.Path() / "root"; }
  std::string Address() const { return "127.0.0.1:" + m_port; }
  // Ends the emulator and returns its whole log.
  std::string Stop() {
    if (m_process) {
      m_process->Signal(SIGTERM);
      m_process->Wait(10s);
      m_log = m_process->Out();
      m_process.reset();
    }
    return m_log;
  }

 private:
  TempFolder m_dir;
  std::string m_port;
  std::unique_ptr<ChildProcess> m_process;
  std::string m_log;
};

// Runs corvane to its end; its exit status.
struct ToolRun {
  explicit ToolRun(std::vector<std::string> args) {
    args.insert(args.begin(), g_tool);
    process = std::make_unique<ChildProcess>(args);
  }
  int Status() {
    const auto status = process->Wait(60s);
    EXPECT_TRUE(status.has_value()) << "corvane did not end";
    return status.value_or(-1);
  }
  std::string Err() const { return process->Err(); }
  std::string Out() const { return process->Out(); }
  std::unique_ptr<ChildProcess> process;
};

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

class CliTcp : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(g_tool.empty()) << "give --corvane=PATH or CORVANE_CLI";
    ASSERT_FALSE(g_emulator.empty()) << "give --corvane-emu=PATH or CORVANE_EMU";
  }
  TempFolder local;
};

// ---- a put is done when the device holds the file ----

TEST_F(CliTcp, APutToADeviceThatClosesMidFileExitsWithThreeAndClaimsNothing) {
  TcpEmulator emu({"--close-after", "1000", "--quiet"});
  const fs::path big = local.Path() / "big.bin";
  const std::string content = RandomBytes(400 * 1024, 7);
  WriteFile(big, content);
  ToolRun run({"--kind", "quillon", "--tcp", emu.Address(), "--progress", "lines", "put", big.string(), "/"});
  EXPECT_EQ(run.Status(), 3) << run.Err();
  EXPECT_TRUE(Has(run.Err(), "corvane: The connection broke before the device")) << run.Err();
  EXPECT_FALSE(Has(run.Err(), "(100%)")) << run.Err();
  EXPECT_TRUE(fs::is_empty(emu.Root()));
  // The fault is used up: the same put now lands the same bytes.
  ToolRun again({"--tcp", emu.Address(), "put", big.string(), "/"});
  EXPECT_EQ(again.Status(), 0) << again.Err();
  EXPECT_EQ(ReadFile(emu.Root() / "big.bin"), content);
}

TEST_F(CliTcp, AGetFromADeviceThatClosesMidFileExitsWithThreeAndKeepsNothing) {
  TcpEmulator emu({"--close-after", "1000", "--quiet"});
  WriteFile(emu.Root() / "big.bin", RandomBytes(400 * 1024, 9));
  const fs::path target = local.Path() / "big.bin";
  ToolRun run({"--kind", "quillon", "--tcp", emu.Address(), "--progress", "none", "get", "/big.bin", target.string()});
  EXPECT_EQ(run.Status(), 3) << run.Err();
  EXPECT_TRUE(fs::is_empty(local.Path()));
}

TEST_F(CliTcp, APutToADeviceThatStopsReadingExitsWithThree) {
  // The device reads 1000 bytes and then nothing; the tool's sends or its
  // wait for the listing run into the socket's 15 s.
  TcpEmulator emu({"--stall-after", "1000", "--quiet"});
  const fs::path big = local.Path() / "big.bin";
  WriteFile(big, RandomBytes(400 * 1024, 8));
  ToolRun run({"--kind", "quillon", "--tcp", emu.Address(), "--progress", "none", "put", big.string(), "/"});
  EXPECT_EQ(run.Status(), 3) << run.Err();
  EXPECT_TRUE(Has(run.Err(), "corvane: The connection broke before the device")) << run.Err();
  // The device drops its partial file once it sees the connection go.
  emu.Stop();
  EXPECT_TRUE(fs::is_empty(emu.Root()));
}

// The lines of the emulator's log that begin with `start`.
size_t LinesStarting(const std::string& log, const std::string& start) {
  size_t n = 0;
  for (size_t at = 0; at < log.size();) {
    const size_t end = std::min(log.find('\n', at), log.size());
    n += log.compare(at, start.size(), start) == 0 ? 1 : 0;
    at = end + 1;
  }
  return n;
}

TEST_F(CliTcp, APutOfAFolderIsConfirmedByOneListingAndNamesOnlyTheFileTheDeviceLost) {
  // The device takes the 7th file whole and stores nothing.
  TcpEmulator emu({"--lose-put", "7"});
  fs::create_directory(emu.Root() / "batch");
  const fs::path folder = local.Path() / "batch";
  fs::create_directory(folder);
  for (int i = 0; i < 20; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "file%02d.bin", i);
    WriteFile(folder / name, RandomBytes(100 + 50 * static_cast<size_t>(i), static_cast<unsigned>(i)));
  }
  ToolRun run({"--tcp", emu.Address(), "--progress", "none", "put", folder.string(), "/"});
  EXPECT_EQ(run.Status(), 1) << run.Err();
  EXPECT_EQ(run.Err(),
            "corvane: Error (The device does not list file06.bin after it was sent: it did not store the file. Check "
            "the space left on the device and put it again)\n");
  EXPECT_FALSE(fs::exists(emu.Root() / "batch" / "file06.bin"));
  // The fault is used up: the same put now lands every file.
  ToolRun again({"--tcp", emu.Address(), "--progress", "none", "put", folder.string(), "/"});
  EXPECT_EQ(again.Status(), 0) << again.Err();
  EXPECT_TRUE(Has(again.Err(), "Copied 20 files")) << again.Err();
  for (const auto& e : fs::directory_iterator(folder))
    EXPECT_EQ(ReadFile(emu.Root() / "batch" / e.path().filename()), ReadFile(e.path())) << e.path();
  // Each run: the root's listing (is there a folder batch?) and one of batch
  // after its last file; not one a file.
  const std::string log = emu.Stop();
  EXPECT_EQ(LinesStarting(log, "Listing \\batch\\"), 2u) << log;
  EXPECT_EQ(LinesStarting(log, "Listing "), 4u) << log;
}

// ---- what the device announces, and how fast it sends ----

TEST_F(CliTcp, AListingThatAnnouncesAHundredMegabytesIsRefusedAtOnceNamingTheCap) {
  TcpEmulator emu({"--lie-length", "100000000", "--quiet"});
  WriteFile(emu.Root() / "a.txt", "abc");
  const auto start = std::chrono::steady_clock::now();
  ToolRun run({"--kind", "quillon", "--tcp", emu.Address(), "ls", "/"});
  EXPECT_EQ(run.Status(), 3) << run.Err();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);  // not the socket's time-out
  EXPECT_TRUE(Has(run.Err(), "The device announced a packet of 100000000 bytes; the kit takes at most 4 MiB"))
      << run.Err();
  EXPECT_EQ(run.Out(), "");
}

TEST_F(CliTcp, ADeviceThatDripsItsListingIsGivenUpAfterTheOverallDeadline) {
  // One byte a second: each is within the socket's 15 s, the whole is not.
  TcpEmulator emu({"--drip-ms", "1000", "--quiet"});
  WriteFile(emu.Root() / "a-file-with-a-long-name.txt", "abc");
  const auto start = std::chrono::steady_clock::now();
  ToolRun run({"--kind", "quillon", "--tcp", emu.Address(), "ls", "/"});
  EXPECT_EQ(run.Status(), 3) << run.Err();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  EXPECT_TRUE(Has(run.Err(), "corvane: The device took longer than 15 s for its answer")) << run.Err();
  EXPECT_EQ(run.Out(), "");
}

// ---- --tcp is the Quillon's ----

TEST_F(CliTcp, TcpWithoutAKindSpeaksToTheQuillonAndWithTheTallisIsAUsageError) {
  TcpEmulator emu;
  WriteFile(emu.Root() / "note.txt", "hello");
  ToolRun ls({"--tcp", emu.Address(), "ls", "/"});
  EXPECT_EQ(ls.Status(), 0) << ls.Err();
  EXPECT_EQ(ls.Out(), "file\t5\tnote.txt\n");
  ToolRun info({"--tcp", emu.Address(), "info"});
  EXPECT_EQ(info.Status(), 0) << info.Err();
  EXPECT_TRUE(Has(info.Out(), "kind: quillon\n")) << info.Out();

  ToolRun tallis({"--kind", "tallis", "--tcp", emu.Address(), "ls", "/"});
  EXPECT_EQ(tallis.Status(), 2) << tallis.Err();
  EXPECT_EQ(tallis.Err(),
            "corvane: --tcp connects to a Quillon, and the Tallis has no TCP/IP link: leave out --kind tallis, or "
            "connect the Tallis with --port\n");
  EXPECT_EQ(tallis.Out(), "");
  // Refused before connecting: the device saw two connections, not three.
  const std::string log = emu.Stop();
  size_t connections = 0;
  for (size_t at = log.find("PC connected"); at != std::string::npos; at = log.find("PC connected", at + 1))
    ++connections;
  EXPECT_EQ(connections, 2u) << log;
}

}  // namespace
}  // namespace corvane::test

int main(int argc, char** argv) { return corvane::test::RunProgramTests(argc, argv); }
