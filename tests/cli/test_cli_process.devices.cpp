// The corvane tool run as a program against several corvane-emu at once:
// one line (or JSON object) per device, the worst exit status, a folder per
// device for what is fetched, --all, and Ctrl-C across every device.
#include <algorithm>
#include <sstream>

#include "cli_process_rig.h"

namespace corvane::test::cli_process {
namespace {

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

}  // namespace
}  // namespace corvane::test::cli_process
