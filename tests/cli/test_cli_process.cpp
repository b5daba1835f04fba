// The corvane tool run as a program against corvane-emu over a
// pseudo-terminal: exit statuses by outcome, nothing sent for a local file
// that cannot be read, Ctrl-C during a transfer, and JSON progress.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mount.h>

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
#include "emulator_process.h"

namespace corvane::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string& g_tool = ProgramsUnderTest().tool;
std::string& g_emulator = ProgramsUnderTest().emulator;

std::string ToolPath() { return g_tool; }
std::string EmulatorPath() { return g_emulator; }

void WriteFile(const fs::path& p, const std::string& data) { std::ofstream(p, std::ios::binary) << data; }

class Emulator : public EmulatorProcess {
 public:
  explicit Emulator(std::vector<std::string> extra = {}, const std::string& kind = "quillon")
      : EmulatorProcess(EmulatorPath(), kind, extra) {}
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

std::vector<std::string> Tallis(const Emulator& emu, std::vector<std::string> args) {
  std::vector<std::string> all = {"--kind", "tallis", "--port", emu.Link()};
  all.insert(all.end(), args.begin(), args.end());
  return all;
}

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
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

TEST_F(CliProcess, CtrlCDuringAGetExitsWith130KeepsTheOldFileAndTellsTheDevice) {
  // Paced at 115200 baud, 200 KiB take about eighteen seconds.
  Emulator emu({"--line-rate", "115200"});
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
  // The cancel bytes went out before corvane ended: the device read them
  // once it had sent the block it was on.
  EXPECT_TRUE(emu.LogSays("The PC cancelled at block", 10s)) << emu.Stop();
}

// The device killed mid-transfer is a pulled cable: no connection (exit 3),
// for a get and a put alike, and nothing half-fetched stays behind.
TEST_F(CliProcess, ADeviceThatGoesAwayDuringAGetOrAPutIsNoConnection) {
  {
    Emulator emu({"--line-rate", "115200"});
    WriteFile(emu.Root() / "big.bin", RandomBytes(200 * 1024, 3));
    const fs::path target = local.Path() / "big.bin";
    ToolRun run(Quillon(emu, {"--progress", "lines", "get", "/big.bin", target.string()}));
    ASSERT_TRUE(run.process->ErrLineWhere([](const std::string& l) { return l.find(" Kbytes (") != std::string::npos; },
                                          30s))
        << run.process->Err();
    emu.Kill();
    EXPECT_EQ(run.Status(), 3) << run.process->Err();
    EXPECT_TRUE(local.Entries().empty());
  }
  {
    Emulator emu({"--line-rate", "115200"});
    const fs::path source = local.Path() / "big.bin";
    WriteFile(source, RandomBytes(200 * 1024, 4));
    ToolRun run(Quillon(emu, {"--progress", "lines", "put", source.string(), "/big.bin"}));
    ASSERT_TRUE(run.process->ErrLineWhere([](const std::string& l) { return l.find(" Kbytes (") != std::string::npos; },
                                          30s))
        << run.process->Err();
    emu.Kill();
    EXPECT_EQ(run.Status(), 3) << run.process->Err();
  }
}

// A small file system of its own (tmpfs), for a disk that fills up. Needs
// the right to mount: the test skips without it.
class SmallDisk {
 public:
  SmallDisk(const fs::path& at, const std::string& size) : m_at(at) {
    fs::create_directory(at);
    m_mounted = ::mount("tmpfs", at.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
  }
  ~SmallDisk() {
    if (m_mounted) ::umount(m_at.c_str());
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;
  bool Mounted() const { return m_mounted; }

 private:
  fs::path m_at;
  bool m_mounted = false;
};

TEST_F(CliProcess, AGetIntoAFullDiskSaysSoInWordsAndKeepsNothing) {
  SmallDisk disk(local.Path() / "small", "64k");
  if (!disk.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  Emulator emu({"--quiet"});
  WriteFile(emu.Root() / "big.bin", RandomBytes(200 * 1024, 5));
  const fs::path target = local.Path() / "small" / "big.bin";
  ToolRun run(Quillon(emu, {"--progress", "none", "get", "/big.bin", target.string()}));
  EXPECT_EQ(run.Status(), 4) << run.process->Err();
  EXPECT_NE(run.process->Err().find("No space left on device. Free some space on that disk and try again"),
            std::string::npos)
      << run.process->Err();
  EXPECT_EQ(run.process->Err().find(" 28)"), std::string::npos) << run.process->Err();
  EXPECT_TRUE(fs::is_empty(local.Path() / "small"));
}

// What the user typed wrong is a usage error (exit 2) that says what to type.
TEST_F(CliProcess, AnUnknownCommandOrAnEmptyPortOrAddressIsAUsageError) {
  ToolRun unknown({"--kind", "quillon", "lst", "/"});
  EXPECT_EQ(unknown.Status(), 2);
  EXPECT_NE(unknown.process->Err().find("corvane: 'lst' is not a command. The commands are: ports, info, ls, get, "),
            std::string::npos)
      << unknown.process->Err();
  ToolRun none({"--kind", "quillon"});
  EXPECT_EQ(none.Status(), 2);
  EXPECT_NE(none.process->Err().find("corvane: give a command: ports, info, ls, get, "), std::string::npos)
      << none.process->Err();
  ToolRun port({"--port", "", "ls"});
  EXPECT_EQ(port.Status(), 2);
  EXPECT_NE(port.process->Err().find("--port: it is empty"), std::string::npos) << port.process->Err();
  ToolRun tcp({"--tcp", "", "ls"});
  EXPECT_EQ(tcp.Status(), 2);
  EXPECT_NE(tcp.process->Err().find("--tcp: it is empty"), std::string::npos) << tcp.process->Err();
}

TEST_F(CliProcess, TallisNamesThatWouldRunAsCommandsAreRefusedWithNothingSent) {
  Emulator emu({}, "tallis");
  WriteFile(emu.Root() / "A", TallisObject("alpha"));
  WriteFile(emu.Root() / "Y", TallisObject("why"));
  const std::vector<std::vector<std::string>> refused = {
      {"rm", "/X' PURGE 'Y"},
      {"mv", "/A", "X' PURGE 'Y"},
      {"mv", "/A", "two words"},
      {"open", "/Y'"},
      {"ls", "/'Y' PURGE"},
  };
  for (const auto& args : refused) {
    ToolRun run(Tallis(emu, args));
    EXPECT_EQ(run.Status(), 2) << run.process->Err();
    EXPECT_NE(run.process->Err().find("corvane: The Tallis cannot take the name"), std::string::npos)
        << run.process->Err();
    EXPECT_NE(run.process->Err().find("Nothing was sent to the device"), std::string::npos) << run.process->Err();
  }
  ToolRun quote(Tallis(emu, {"rm", "/X' PURGE 'Y"}));
  EXPECT_EQ(quote.Status(), 2);
  EXPECT_NE(quote.process->Err().find("\"X' PURGE 'Y\": it contains a quote (')."), std::string::npos)
      << quote.process->Err();
  // A name it can take still works.
  ToolRun rm(Tallis(emu, {"rm", "/A"}));
  EXPECT_EQ(rm.Status(), 0) << rm.process->Err();
  const std::string log = emu.Stop();
  // Only the good rm reached the device: one connection, one command line.
  EXPECT_EQ(Occurrences(log, "Version asked"), 1u) << log;
  EXPECT_EQ(Occurrences(log, "PURGE"), 0u) << log;
  EXPECT_EQ(Occurrences(log, "Command line"), 0u) << log;
  EXPECT_FALSE(fs::exists(emu.Root() / "A"));
  EXPECT_EQ(ReadFile(emu.Root() / "Y"), TallisObject("why"));
}

TEST_F(CliProcess, AGetWhoseAckTheLineLostSucceedsWithIdenticalBytes) {
  for (const std::string kind : {"tallis", "quillon"}) {
    SCOPED_TRACE(kind);
    Emulator emu({"--lose-ack", "2", "--quiet"}, kind);
    const std::string body = RandomBytes(20000, 4);
    const std::string stored = kind == "tallis" ? TallisObject(body) : body;
    WriteFile(emu.Root() / "noisy", stored);
    const fs::path target = local.Path() / ("noisy." + kind);
    ToolRun run({"--kind", kind, "--port", emu.Link(), "--progress", "lines", "get", "/noisy", target.string()});
    EXPECT_EQ(run.Status(), 0) << run.process->Err();
    EXPECT_EQ(ReadFile(target), stored);
  }
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

// ---- several devices at once ----

// Lines of text, without empty ones.
std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

// The one line of `lines` that starts with `prefix`; fails the test unless exactly one does.
std::string OnlyLineStarting(const std::vector<std::string>& lines, const std::string& prefix) {
  std::vector<std::string> found;
  for (const auto& l : lines)
    if (l.rfind(prefix, 0) == 0) found.push_back(l);
  EXPECT_EQ(found.size(), 1u) << prefix;
  return found.empty() ? std::string() : found.front();
}

// The per-device folder for a port that shares its file name ("port") with
// another: the whole path with '/' as '_'.
std::string TagOf(const std::string& port) {
  std::string tag = port;
  std::replace(tag.begin(), tag.end(), '/', '_');
  return tag.substr(tag.find_first_not_of('_'));
}

TEST_F(CliProcess, APutToTwoDevicesLandsTheSameBytesOnBothAndPrintsOneLineEach) {
  Emulator a({"--quiet"}), b({"--quiet"});
  const std::string content = RandomBytes(20000, 4);
  WriteFile(local.Path() / "class.bin", content);
  ToolRun run({"--kind", "quillon", "--port", a.Link(), "--port", b.Link(), "put", (local.Path() / "class.bin").string()});
  ASSERT_EQ(run.Status(), 0) << run.process->Err();
  EXPECT_EQ(ReadFile(a.Root() / "class.bin"), content);
  EXPECT_EQ(ReadFile(b.Root() / "class.bin"), content);
  const auto lines = LinesOf(run.process->Out());
  EXPECT_EQ(lines.size(), 2u) << run.process->Out();
  EXPECT_EQ(OnlyLineStarting(lines, a.Link() + ": "), a.Link() + ": ok");
  EXPECT_EQ(OnlyLineStarting(lines, b.Link() + ": "), b.Link() + ": ok");
  // No progress unless asked for: nothing on stderr.
  EXPECT_EQ(run.process->Err(), "");
}

TEST_F(CliProcess, ARestoreToSeveralDevicesKeepsEachDevicesLinesAboutWhatItCouldNotPlace) {
  Emulator a({"--quiet"}), b({"--quiet"});
  fs::create_directories(a.Root() / "d");
  WriteFile(a.Root() / "d" / "x.txt", "x");
  WriteFile(a.Root() / "top.txt", "top");
  const std::string dest = (local.Path() / "bk").string();
  ToolRun backup({"--kind", "quillon", "--port", a.Link(), "backup", dest});
  ASSERT_EQ(backup.Status(), 0) << backup.process->Err();
  // b has no folder d: its line says what was not placed, before its result.
  ToolRun run({"--kind", "quillon", "--port", a.Link(), "--port", b.Link(), "restore", dest});
  EXPECT_EQ(run.Status(), 1) << run.process->Out();
  const auto lines = LinesOf(run.process->Out());
  const std::string notPlaced = b.Link() + ": not placed: /d/x.txt";
  bool seen = false;
  for (const auto& line : lines) seen |= line.rfind(notPlaced, 0) == 0;
  EXPECT_TRUE(seen) << run.process->Out();
  EXPECT_EQ(ReadFile(b.Root() / "top.txt"), "top");
}

TEST_F(CliProcess, SeveralDevicesExitWithTheWorstStatusAndReportEachInJson) {
  Emulator good({"--quiet"}), silent({"--silent", "1000", "--quiet"});
  WriteFile(good.Root() / "a.txt", "alpha");
  const std::string missing = (local.Path() / "no-such-port").string();
  {
    ToolRun run({"--kind", "quillon", "--json", "--port", good.Link(), "--port", silent.Link(), "--port", missing, "ls"});
    EXPECT_EQ(run.Status(), 3) << run.process->Err();
    const auto lines = LinesOf(run.process->Out());
    ASSERT_EQ(lines.size(), 3u) << run.process->Out();
    for (const auto& l : lines) {
      EXPECT_EQ(l.front(), '{') << l;
      EXPECT_EQ(l.back(), '}') << l;
    }
    const std::string ok = OnlyLineStarting(lines, "{\"port\": \"" + good.Link() + "\"");
    EXPECT_NE(ok.find("\"kind\": \"quillon\", \"status\": \"ok\", \"exit_code\": 0"), std::string::npos) << ok;
    EXPECT_NE(ok.find("\"result\": [{\"name\": \"a.txt\", \"size\": 5, \"kind\": \"file\"}]"), std::string::npos) << ok;
    for (const auto& port : {silent.Link(), missing}) {
      const std::string bad = OnlyLineStarting(lines, "{\"port\": \"" + port + "\"");
      EXPECT_NE(bad.find("\"status\": \"no-connection\", \"exit_code\": 3"), std::string::npos) << bad;
      EXPECT_NE(bad.find("unable to open the communication com :" + port), std::string::npos) << bad;
      EXPECT_EQ(bad.find("\"result\""), std::string::npos) << bad;
    }
  }
  // A refused operation (1) is worse than success, and better than no device (3).
  {
    ToolRun run({"--kind", "quillon", "--port", good.Link(), "--port", missing, "rm", "/nothere.txt"});
    EXPECT_EQ(run.Status(), 3) << run.process->Out();
  }
  {
    ToolRun run({"--kind", "quillon", "--port", good.Link(), "--port", silent.Link(), "get", "/nothere.bin",
                 local.Path().string()});
    EXPECT_EQ(run.Status(), 3) << run.process->Out();
    const auto lines = LinesOf(run.process->Out());
    EXPECT_NE(OnlyLineStarting(lines, good.Link() + ": ").find(": failed (exit 1): '/nothere.bin' is not on the device"),
              std::string::npos)
        << run.process->Out();
  }
  {
    ToolRun run({"--kind", "quillon", "--port", good.Link(), "--port", good.Link() + "-also-missing", "get", "/a.txt",
                 local.Path().string()});
    EXPECT_EQ(run.Status(), 3);
  }
}

TEST_F(CliProcess, AGetFromTwoDevicesWritesOneFolderPerDevice) {
  Emulator a({"--quiet"}), b({"--quiet"});
  WriteFile(a.Root() / "notes.txt", "from a");
  WriteFile(b.Root() / "notes.txt", "from b");
  ToolRun run({"--kind", "quillon", "--port", a.Link(), "--port", b.Link(), "get", "/notes.txt", local.Path().string()});
  ASSERT_EQ(run.Status(), 0) << run.process->Out() << run.process->Err();
  // Both links are called "port", so each folder is named after the whole path.
  EXPECT_EQ(ReadFile(local.Path() / TagOf(a.Link()) / "notes.txt"), "from a");
  EXPECT_EQ(ReadFile(local.Path() / TagOf(b.Link()) / "notes.txt"), "from b");
  const auto lines = LinesOf(run.process->Out());
  EXPECT_EQ(OnlyLineStarting(lines, a.Link() + ": "),
            a.Link() + ": ok: Saved " + (local.Path() / TagOf(a.Link()) / "notes.txt").string());
  // So does a screen capture, under the folder of the file named.
  ToolRun shot({"--kind", "quillon", "--port", a.Link(), "--port", b.Link(), "shot", (local.Path() / "screen.bmp").string()});
  ASSERT_EQ(shot.Status(), 0) << shot.process->Out() << shot.process->Err();
  for (const auto& port : {a.Link(), b.Link()}) {
    const std::string bmp = ReadFile(local.Path() / TagOf(port) / "screen.bmp");
    EXPECT_EQ(bmp.substr(0, 2), "BM") << port;
  }
  EXPECT_FALSE(fs::exists(local.Path() / "screen.bmp"));
  // A file as LOCAL would be written by both: refused before any device is asked.
  WriteFile(local.Path() / "one.txt", "mine");
  ToolRun refused({"--kind", "quillon", "--port", a.Link(), "--port", b.Link(), "get", "/notes.txt",
                   (local.Path() / "one.txt").string()});
  EXPECT_EQ(refused.Status(), 2);
  EXPECT_NE(refused.process->Err().find("is not a folder"), std::string::npos) << refused.process->Err();
  EXPECT_EQ(ReadFile(local.Path() / "one.txt"), "mine");
}

TEST_F(CliProcess, WhatCannotRunOnSeveralDevicesIsRefusedWithUsage) {
  Emulator a;
  const std::string other = (local.Path() / "other").string();
  WriteFile(local.Path() / "rom.bix", "rom");
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--port", a.Link(), "--port", other, "upgrade", "--yes", (local.Path() / "rom.bix").string()},
           {"--port", a.Link(), "--port", other, "--progress", "bar", "ls"},
           {"--port", a.Link(), "--port", a.Link(), "ls"},
           {"--tcp", "127.0.0.1", "--all", "ls"},
           {"--json", "ls"}}) {
    ToolRun run(args);
    EXPECT_EQ(run.Status(), 2) << run.process->Err();
  }
  // Nothing reached the device.
  const std::string log = a.Stop();
  EXPECT_EQ(log.find("Version asked"), std::string::npos) << log;
}

TEST_F(CliProcess, AllRunsOnEveryPortWhereADeviceAnswers) {
  Emulator a({"--quiet"}), b({"--quiet"}), silent({"--silent", "1000", "--quiet"});
  ToolRun run({"--kind", "quillon", "--all", "--port", a.Link(), "--port", silent.Link(), "--port", b.Link(), "info"});
  ASSERT_EQ(run.Status(), 0) << run.process->Out() << run.process->Err();
  const auto lines = LinesOf(run.process->Out());
  EXPECT_EQ(OnlyLineStarting(lines, a.Link() + ": version: "), a.Link() + ": version: Quillon Xmodem server 2.1");
  EXPECT_EQ(OnlyLineStarting(lines, b.Link() + ": ok"), b.Link() + ": ok");
  for (const auto& l : lines) EXPECT_EQ(l.rfind(silent.Link(), 0), std::string::npos) << l;
}

TEST_F(CliProcess, CtrlCWhileAllStillLooksForDevicesRunsTheCommandOnNone) {
  Emulator good, silent({"--silent", "1000", "--quiet"});
  WriteFile(good.Root() / "f.txt", "keep me");
  ToolRun run({"--kind", "quillon", "--all", "--port", good.Link(), "--port", silent.Link(), "rm", "/f.txt"});
  // The good device has answered the search; the silent one keeps it going.
  ASSERT_TRUE(good.LogSays("Version asked", 10s));
  run.process->Signal(SIGINT);
  EXPECT_EQ(run.Status(), 130) << run.process->Out() << run.process->Err();
  EXPECT_EQ(ReadFile(good.Root() / "f.txt"), "keep me");
}

TEST_F(CliProcess, CtrlCCancelsTheTransfersOfEveryDeviceAndKeepsNothing) {
  // Paced at 115200 baud, 200 KiB take about eighteen seconds on each.
  Emulator a({"--line-rate", "115200", "--quiet"}), b({"--line-rate", "115200", "--quiet"});
  WriteFile(a.Root() / "big.bin", RandomBytes(200 * 1024, 5));
  WriteFile(b.Root() / "big.bin", RandomBytes(200 * 1024, 6));
  ToolRun run({"--kind", "quillon", "--port", a.Link(), "--port", b.Link(), "--progress", "lines", "get", "/big.bin",
               local.Path().string()});
  // Once both have shown progress, both transfers run.
  std::vector<std::string> started;
  while (started.size() < 2) {
    const auto line = run.process->ErrLineWhere([](const std::string& l) { return l.find(" Kbytes (") != std::string::npos; }, 30s);
    ASSERT_TRUE(line.has_value()) << run.process->Err();
    const std::string port = line->substr(0, line->find(": "));
    if (std::find(started.begin(), started.end(), port) == started.end()) started.push_back(port);
  }
  run.process->Signal(SIGINT);
  EXPECT_EQ(run.Status(), 130) << run.process->Err();
  const auto lines = LinesOf(run.process->Out());
  for (const auto& port : {a.Link(), b.Link()})
    EXPECT_NE(OnlyLineStarting(lines, port + ": ").find(": cancelled (exit 130)"), std::string::npos) << run.process->Out();
  for (const auto& port : {a.Link(), b.Link()}) EXPECT_TRUE(fs::is_empty(local.Path() / TagOf(port))) << port;
}

// ---- the port, signals and names as an ordinary user meets them ----
// (The tests named Ordinary* and the Ctrl-C get above also run as the user
// nobody: see tests/support/run_unprivileged.sh.)

// Waits for the first progress line of `run`'s transfer.
void WaitForProgress(ToolRun& run) {
  const auto progress =
      run.process->ErrLineWhere([](const std::string& l) { return l.find(" Kbytes (") != std::string::npos; }, 30s);
  ASSERT_TRUE(progress.has_value()) << run.process->Err();
}

TEST_F(CliProcess, OrdinaryCommandsInARowOnOnePortEachSucceed) {
  Emulator emu({"--quiet"});
  WriteFile(emu.Root() / "a.txt", "alpha");
  ToolRun info(Quillon(emu, {"info"}));
  EXPECT_EQ(info.Status(), 0) << info.process->Err();
  ToolRun ls(Quillon(emu, {"ls"}));
  EXPECT_EQ(ls.Status(), 0) << ls.process->Err();
  EXPECT_EQ(ls.process->Out(), "file\t5\ta.txt\n");
  const fs::path got = local.Path() / "a.txt";
  ToolRun get(Quillon(emu, {"get", "/a.txt", got.string()}));
  EXPECT_EQ(get.Status(), 0) << get.process->Err();
  EXPECT_EQ(ReadFile(got), "alpha");
  const fs::path sent = local.Path() / "b.txt";
  WriteFile(sent, "beta");
  ToolRun put(Quillon(emu, {"put", sent.string(), "/"}));
  EXPECT_EQ(put.Status(), 0) << put.process->Err();
  EXPECT_EQ(ReadFile(emu.Root() / "b.txt"), "beta");
}

TEST_F(CliProcess, ASecondProgramOnAPortInUseIsRefusedAsBusyAndTheFirstGoesOn) {
  // Paced at 115200 baud, 60 KiB take about five seconds.
  Emulator emu({"--line-rate", "115200", "--quiet"});
  const std::string content = RandomBytes(60 * 1024, 8);
  WriteFile(emu.Root() / "big.bin", content);
  const fs::path target = local.Path() / "big.bin";
  ToolRun first(Quillon(emu, {"--progress", "lines", "get", "/big.bin", target.string()}));
  ASSERT_NO_FATAL_FAILURE(WaitForProgress(first));
  ToolRun second(Quillon(emu, {"ls"}));
  EXPECT_EQ(second.Status(), 3) << second.process->Err();
  EXPECT_NE(second.process->Err().find("Another program is using the port"), std::string::npos) << second.process->Err();
  EXPECT_EQ(first.Status(), 0) << first.process->Err();
  EXPECT_EQ(ReadFile(target), content);
}

TEST_F(CliProcess, OrdinaryTermOrHangUpDuringAGetCancelsAsCtrlCDoesAndTheNextCommandWorks) {
  for (const int sig : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    // Paced at 115200 baud, 200 KiB take about eighteen seconds.
    Emulator emu({"--line-rate", "115200"});
    WriteFile(emu.Root() / "big.bin", RandomBytes(200 * 1024, 9));
    TempFolder here;
    const fs::path target = here.Path() / "big.bin";
    WriteFile(target, "the old copy");
    ToolRun run(Quillon(emu, {"--progress", "lines", "get", "/big.bin", target.string()}));
    ASSERT_NO_FATAL_FAILURE(WaitForProgress(run));
    run.process->Signal(sig);
    EXPECT_EQ(run.Status(), 128 + sig) << run.process->Err();
    EXPECT_NE(run.process->Err().find("Cancelled; nothing was kept."), std::string::npos) << run.process->Err();
    // No temporary file beside the old copy, which is as it was.
    EXPECT_EQ(here.Entries(), std::vector<std::string>{"big.bin"});
    EXPECT_EQ(ReadFile(target), "the old copy");
    EXPECT_TRUE(emu.LogSays("The PC cancelled at block", 10s)) << emu.Stop();
    ToolRun next(Quillon(emu, {"ls"}));
    EXPECT_EQ(next.Status(), 0) << next.process->Err();
    EXPECT_EQ(next.process->Out(), "file\t204800\tbig.bin\n");
  }
}

TEST_F(CliProcess, OrdinaryTermOrHangUpDuringAPutCancelsLeavesNoFileAndTheNextCommandWorks) {
  const fs::path source = local.Path() / "big.bin";
  WriteFile(source, RandomBytes(200 * 1024, 10));
  for (const int sig : {SIGHUP, SIGTERM}) {
    SCOPED_TRACE(sig);
    Emulator emu({"--line-rate", "115200"});
    ToolRun run(Quillon(emu, {"--progress", "lines", "put", source.string(), "/"}));
    ASSERT_NO_FATAL_FAILURE(WaitForProgress(run));
    run.process->Signal(sig);
    EXPECT_EQ(run.Status(), 128 + sig) << run.process->Err();
    EXPECT_NE(run.process->Err().find("Cancelled."), std::string::npos) << run.process->Err();
    EXPECT_TRUE(emu.LogSays("The PC cancelled the transfer", 10s)) << emu.Stop();
    // The device drops what it had received before it logs this.
    EXPECT_TRUE(emu.LogSays("failed; nothing stored", 10s)) << emu.Stop();
    EXPECT_TRUE(fs::is_empty(emu.Root()));
    ToolRun next(Quillon(emu, {"ls"}));
    EXPECT_EQ(next.Status(), 0) << next.process->Err();
    EXPECT_EQ(next.process->Out(), "");
  }
}

// Bytes below 0x20 in `text` other than the line feed.
std::string ControlBytesIn(const std::string& text) {
  std::string found;
  for (const unsigned char c : text)
    if ((c < 0x20 && c != '\n') || c == 0x7F) found += "byte " + std::to_string(c) + " ";
  return found;
}

TEST_F(CliProcess, ControlBytesInDeviceNamesReachTheTerminalEscaped) {
  Emulator emu({"--quiet"});
  // It would set the terminal's title, then forge a line of its own.
  const std::string name = "\x1B]0;owned\x07x\ry\bz\nfile\t1\tforged\x7F";
  WriteFile(emu.Root() / name, "tiny");
  ToolRun ls(Quillon(emu, {"ls"}));
  EXPECT_EQ(ls.Status(), 0) << ls.process->Err();
  EXPECT_EQ(ls.process->Out(), "file\t4\t\\x1B]0;owned\\x07x\\x0Dy\\x08z\\x0Afile\\x091\\x09forged\\x7F\n");
  // JSON has escapes of its own, and keeps them.
  ToolRun json(Quillon(emu, {"ls", "--json"}));
  EXPECT_EQ(json.Status(), 0) << json.process->Err();
  EXPECT_NE(json.process->Out().find(
                "\"\\u001b]0;owned\\u0007x\\u000dy\\u0008z\\u000afile\\u00091\\u0009forged\\u007f\""),
            std::string::npos)
      << json.process->Out();
  // The session's messages and the progress lines name it too.
  const fs::path target = local.Path() / "tiny.bin";
  ToolRun get(Quillon(emu, {"--verbose", "--progress", "lines", "get", "/" + name, target.string()}));
  EXPECT_EQ(get.Status(), 0) << get.process->Err();
  EXPECT_EQ(ReadFile(target), "tiny");
  EXPECT_NE(get.process->Err().find("\\x1B]0;owned"), std::string::npos) << get.process->Err();
  EXPECT_EQ(ControlBytesIn(get.process->Err()), "") << get.process->Err();
  // And so does the failure of a name that is not there.
  ToolRun missing(Quillon(emu, {"get", "/" + name + "\x1B[2J", target.string()}));
  EXPECT_EQ(missing.Status(), 1) << missing.process->Err();
  EXPECT_NE(missing.process->Err().find("\\x1B[2J"), std::string::npos) << missing.process->Err();
  EXPECT_EQ(ControlBytesIn(missing.process->Err()), "") << missing.process->Err();
}

}  // namespace
}  // namespace corvane::test

int main(int argc, char** argv) { return corvane::test::RunProgramTests(argc, argv); }
