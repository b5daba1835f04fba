// The corvane tool run as a program against corvane-emu over a
// pseudo-terminal: exit statuses by outcome, nothing sent for a local file
// that cannot be read, Ctrl-C during a transfer, and JSON progress.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"

namespace corvane::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The programs under test: --corvane=PATH and --corvane-emu=PATH on the
// command line, or CORVANE_CLI and CORVANE_EMU in the environment.
std::string g_tool, g_emulator;

std::string ToolPath() { return g_tool; }
std::string EmulatorPath() { return g_emulator; }

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "corvane-cli-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    m_path = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
  }
  const fs::path& Path() const { return m_path; }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(m_path)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  fs::path m_path;
};

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

void WriteFile(const fs::path& p, const std::string& data) { std::ofstream(p, std::ios::binary) << data; }

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// corvane-emu serving a folder on a pseudo-terminal, linked at a path in
// its own folder; its log (stdout) is kept.
class Emulator {
 public:
  explicit Emulator(std::vector<std::string> extra = {}) : m_link((m_dir.Path() / "port").string()) {
    std::vector<std::string> argv = {EmulatorPath(), "--kind", "quillon", "--root", Root().string(),
                                     "--pty", m_link};
    argv.insert(argv.end(), extra.begin(), extra.end());
    fs::create_directory(Root());
    m_process = std::make_unique<ChildProcess>(argv);
    // It says where it serves once the link is there.
    for (;;) {
      auto line = m_process->OutLine(10s);
      if (!line) throw std::runtime_error("the emulator did not start: " + m_process->Err());
      if (line->rfind("Serial port:", 0) == 0) break;
    }
  }
  ~Emulator() { Stop(); }

  fs::path Root() const { return m_dir.Path() / "root"; }
  const std::string& Link() const { return m_link; }
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
  std::string m_link;
  std::unique_ptr<ChildProcess> m_process;
  std::string m_log;
};

// Runs corvane to its end (within a minute); its exit status.
struct ToolRun {
  explicit ToolRun(std::vector<std::string> args) {
    args.insert(args.begin(), ToolPath());
    process = std::make_unique<ChildProcess>(args);
  }
  int Status() {
    const auto status = process->Wait(60s);
    EXPECT_TRUE(status.has_value()) << "corvane did not end";
    return status.value_or(-1);
  }
  std::unique_ptr<ChildProcess> process;
};

std::vector<std::string> Quillon(const Emulator& emu, std::vector<std::string> args) {
  std::vector<std::string> all = {"--kind", "quillon", "--port", emu.Link()};
  all.insert(all.end(), args.begin(), args.end());
  return all;
}

class CliProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(ToolPath().empty()) << "give --corvane=PATH or CORVANE_CLI";
    ASSERT_FALSE(EmulatorPath().empty()) << "give --corvane-emu=PATH or CORVANE_EMU";
  }
  TempFolder local;
};

// ---- exit statuses without a device ----

TEST_F(CliProcess, UsageErrorsExitWithTwo) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--frobnicate", "ls"}, {"get"}, {"--progress", "sideways", "ls"}, {"--kind", "toaster", "ls"}, {}}) {
    ToolRun run(args);
    EXPECT_EQ(run.Status(), 2) << run.process->Err();
  }
  ToolRun help({"--help"});
  EXPECT_EQ(help.Status(), 0);
  EXPECT_NE(help.process->Out().find("130  cancelled"), std::string::npos) << help.process->Out();
}

TEST_F(CliProcess, AMissingPortExitsWithThreeAndSaysWhy) {
  ToolRun run({"--port", "/dev/does-not-exist", "ls"});
  EXPECT_EQ(run.Status(), 3);
  EXPECT_NE(run.process->Err().find("/dev/does-not-exist"), std::string::npos) << run.process->Err();
  EXPECT_NE(run.process->Err().find("does not exist"), std::string::npos) << run.process->Err();
}

// ---- against the emulator ----

TEST_F(CliProcess, APutOfALocalFileThatCannotBeReadExitsWithFourAndSendsNothing) {
  Emulator emu;
  // (A local folder is put as a tree: see test_cli_tree.cpp.)
  const std::string missing = (local.Path() / "missing.txt").string();
  {
    ToolRun run(Quillon(emu, {"put", missing}));
    EXPECT_EQ(run.Status(), 4) << run.process->Err();
    EXPECT_NE(run.process->Err().find(missing), std::string::npos) << run.process->Err();
  }
  // The device works, and heard nothing of the put: one connection (this listing) in its log.
  ToolRun ls(Quillon(emu, {"ls"}));
  EXPECT_EQ(ls.Status(), 0) << ls.process->Err();
  const std::string log = emu.Stop();
  EXPECT_EQ(log.find("Put"), std::string::npos) << log;
  size_t versions = 0;
  for (size_t at = log.find("Version asked"); at != std::string::npos; at = log.find("Version asked", at + 1)) ++versions;
  EXPECT_EQ(versions, 1u) << log;
  EXPECT_TRUE(fs::is_empty(emu.Root()));
}

TEST_F(CliProcess, AFailedGetExitsWithOneAndKeepsNothing) {
  Emulator emu({"--cancel-at-block", "2", "--quiet"});
  WriteFile(emu.Root() / "doomed.bin", RandomBytes(5000, 1));
  const std::string target = (local.Path() / "doomed.bin").string();
  ToolRun cancelled(Quillon(emu, {"--progress", "lines", "get", "/doomed.bin", target}));
  EXPECT_EQ(cancelled.Status(), 1) << cancelled.process->Err();
  EXPECT_NE(cancelled.process->Err().find("Connection error"), std::string::npos) << cancelled.process->Err();
  EXPECT_TRUE(local.Entries().empty());
  // A file that is not there fails the same way.
  ToolRun missing(Quillon(emu, {"get", "/nothere.bin", target}));
  EXPECT_EQ(missing.Status(), 1) << missing.process->Err();
  EXPECT_NE(missing.process->Err().find("is not on the device"), std::string::npos) << missing.process->Err();
  EXPECT_TRUE(local.Entries().empty());
}

TEST_F(CliProcess, CtrlCDuringAGetExitsWith130AndKeepsTheOldFile) {
  // Paced at 115200 baud, 200 KiB take about eighteen seconds.
  Emulator emu({"--line-rate", "115200", "--quiet"});
  WriteFile(emu.Root() / "big.bin", RandomBytes(200 * 1024, 2));
  const fs::path target = local.Path() / "big.bin";
  WriteFile(target, "the old copy");
  ToolRun run(Quillon(emu, {"--progress", "lines", "get", "/big.bin", target.string()}));
  // Once a progress line is out, the transfer runs.
  const auto progress =
      run.process->ErrLineWhere([](const std::string& l) { return l.find(" Kbytes (") != std::string::npos; }, 30s);
  ASSERT_TRUE(progress.has_value()) << run.process->Err();
  run.process->Signal(SIGINT);
  EXPECT_EQ(run.Status(), 130) << run.process->Err();
  EXPECT_NE(run.process->Err().find("Cancelled; nothing was kept."), std::string::npos) << run.process->Err();
  EXPECT_EQ(ReadFile(target), "the old copy");
  EXPECT_EQ(local.Entries(), std::vector<std::string>{"big.bin"});
}

// The number after "\"key\": " in a JSON line, or -1.
int64_t Field(const std::string& line, const std::string& key) {
  const std::string tag = "\"" + key + "\": ";
  const auto at = line.find(tag);
  if (at == std::string::npos) return -1;
  return std::stoll(line.substr(at + tag.size()));
}

TEST_F(CliProcess, JsonProgressOfSmallBlocksRisesToExactlyTheFileSize) {
  Emulator emu({"--block-size", "128", "--quiet"});
  const size_t size = 3000;  // 23 blocks of 128 bytes and a short one
  const std::string content = RandomBytes(size, 3);
  WriteFile(emu.Root() / "small.bin", content);
  const fs::path target = local.Path() / "small.bin";
  ToolRun run(Quillon(emu, {"--progress", "json", "get", "/small.bin", target.string()}));
  ASSERT_EQ(run.Status(), 0) << run.process->Err();
  EXPECT_EQ(ReadFile(target), content);

  std::vector<std::string> objects;
  std::istringstream err(run.process->Err());
  for (std::string line; std::getline(err, line);)
    if (!line.empty() && line.front() == '{') objects.push_back(line);
  ASSERT_FALSE(objects.empty()) << run.process->Err();
  int64_t last = -1;
  size_t progress = 0;
  bool status = false;
  for (const auto& o : objects) {
    SCOPED_TRACE(o);
    EXPECT_EQ(o.back(), '}');
    EXPECT_NE(o.find("\"elapsed_ms\": "), std::string::npos);
    if (o.find("\"kind\": \"progress\"") != std::string::npos) {
      ++progress;
      EXPECT_NE(o.find("\"phase\": \"receive\""), std::string::npos);
      EXPECT_EQ(Field(o, "total"), static_cast<int64_t>(size));
      const int64_t done = Field(o, "done");
      EXPECT_GE(done, last);
      EXPECT_LE(done, static_cast<int64_t>(size));
      last = done;
    } else if (o.find("\"kind\": \"status\"") != std::string::npos) {
      status = true;
      EXPECT_NE(o.find("\"text\": \"small.bin Received at "), std::string::npos);
    }
  }
  EXPECT_EQ(progress, 25u);  // before each of the 24 blocks, and at the end
  EXPECT_EQ(last, static_cast<int64_t>(size));
  EXPECT_TRUE(status);
}

}  // namespace
}  // namespace corvane::test

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (const char* v = std::getenv("CORVANE_CLI")) corvane::test::g_tool = v;
  if (const char* v = std::getenv("CORVANE_EMU")) corvane::test::g_emulator = v;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--corvane=", 0) == 0) corvane::test::g_tool = arg.substr(10);
    if (arg.rfind("--corvane-emu=", 0) == 0) corvane::test::g_emulator = arg.substr(14);
  }
  return RUN_ALL_TESTS();
}
