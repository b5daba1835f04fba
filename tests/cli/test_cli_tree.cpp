// corvane's folder and device commands as a program against corvane-emu on a
// pseudo-terminal: get -r of a Tallis tree byte for byte, backup twice (the
// second fetches nothing), Ctrl-C during a backup and its resumption,
// restore, and put of a local folder whose device folder is missing.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
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

// Every file and folder below `root` with its bytes ("/" for a folder);
// the backup's manifest is left out.
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const std::string rel = fs::relative(e.path(), root).string();
    if (rel != "manifest.json") out[rel] = e.is_directory() ? "/" : ReadFile(e.path());
  }
  return out;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class Emulator : public EmulatorProcess {
 public:
  Emulator(const std::string& kind, std::vector<std::string> extra = {})
      : EmulatorProcess(g_emulator, kind, extra), m_kind(kind) {}
  std::vector<std::string> Args(std::vector<std::string> args) const {
    std::vector<std::string> all = {g_tool, "--kind", m_kind, "--port", Link(), "--progress", "lines"};
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }

 private:
  std::string m_kind;
};

struct Outcome {
  int status = -1;
  std::string err;
};

Outcome Tool(const std::vector<std::string>& argv) {
  ChildProcess p(argv);
  const auto status = p.Wait(60s);
  EXPECT_TRUE(status.has_value()) << "corvane did not end";
  return {status.value_or(-1), p.Err()};
}

class CliTree : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(g_tool.empty()) << "give --corvane=PATH or CORVANE_CLI";
    ASSERT_FALSE(g_emulator.empty()) << "give --corvane-emu=PATH or CORVANE_EMU";
  }
  TempFolder local;
};

TEST_F(CliTree, GetRecursiveCopiesATallisTreeByteForByte) {
  Emulator emu("tallis");
  WriteFile(emu.Root() / "prog" / "a", TallisObject(RandomBytes(2500, 1)));
  WriteFile(emu.Root() / "prog" / "lib" / "b", TallisObject(RandomBytes(40, 2)));
  fs::create_directories(emu.Root() / "prog" / "empty");
  const Outcome r = Tool(emu.Args({"get", "-r", "/prog", local.Path().string()}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Tree(local.Path() / "prog") == Tree(emu.Root() / "prog")) << r.err;
  // A folder the device does not have is no folder to copy.
  const Outcome missing = Tool(emu.Args({"get", "-r", "/nothere", (local.Path() / "x").string()}));
  EXPECT_EQ(missing.status, 1) << missing.err;
  EXPECT_NE(missing.err.find("is not a folder on the device"), std::string::npos) << missing.err;
  EXPECT_FALSE(fs::exists(local.Path() / "x"));
}

TEST_F(CliTree, ASecondBackupFetchesNothingAndRestorePutsADeletedFileBack) {
  Emulator emu("quillon");
  WriteFile(emu.Root() / "docs" / "a.txt", RandomBytes(3000, 3));
  WriteFile(emu.Root() / "docs" / "sub" / "b.bin", RandomBytes(100, 4));
  WriteFile(emu.Root() / "top.bin", RandomBytes(10, 5));
  const std::string dest = (local.Path() / "backup").string();
  const Outcome first = Tool(emu.Args({"backup", dest}));
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_TRUE(Tree(dest) == Tree(emu.Root()));
  EXPECT_EQ(Count(emu.Log(), "Get "), 3u);
  const Outcome second = Tool(emu.Args({"backup", dest}));
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_NE(second.err.find("0 fetched"), std::string::npos) << second.err;
  EXPECT_EQ(Count(emu.Log(), "Get "), 3u);

  const std::string a = ReadFile(emu.Root() / "docs" / "a.txt");
  fs::remove(emu.Root() / "docs" / "a.txt");
  fs::remove_all(emu.Root() / "docs" / "sub");
  const Outcome restore = Tool(emu.Args({"restore", dest}));
  EXPECT_EQ(restore.status, 1) << restore.err;  // b.bin has no folder to go to
  EXPECT_NE(restore.err.find("not placed: /docs/sub/b.bin: the device has no folder /docs/sub"), std::string::npos)
      << restore.err;
  EXPECT_NE(restore.err.find("1 of 3 files could not be placed"), std::string::npos) << restore.err;
  EXPECT_EQ(ReadFile(emu.Root() / "docs" / "a.txt"), a);
  const Outcome none = Tool(emu.Args({"restore", dest, "/nothere"}));
  EXPECT_EQ(none.status, 2) << none.err;
  EXPECT_NE(none.err.find("holds no file below /nothere"), std::string::npos) << none.err;
}

TEST_F(CliTree, CtrlCDuringABackupKeepsOnlyWholeFilesAndTheNextRunGoesOn) {
  // Paced at 115200 baud: each 40 KiB file takes about four seconds.
  Emulator emu("quillon", {"--line-rate", "115200"});
  for (int i = 0; i < 3; ++i) WriteFile(emu.Root() / ("f" + std::to_string(i)), RandomBytes(40 * 1024, 10 + i));
  const std::string dest = (local.Path() / "backup").string();
  {
    ChildProcess run(emu.Args({"backup", dest}));
    // Once the second file's progress is out, stop.
    const auto line = run.ErrLineWhere(
        [](const std::string& l) { return l.find("2 of 3 files: /f1") != std::string::npos; }, 60s);
    ASSERT_TRUE(line.has_value()) << run.Err();
    run.Signal(SIGINT);
    const auto status = run.Wait(60s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 130) << run.Err();
    EXPECT_NE(run.Err().find("Cancelled; the files that arrived whole are kept"), std::string::npos) << run.Err();
  }
  // Nothing partial under a real name, and no temporary file either.
  for (const auto& e : fs::recursive_directory_iterator(dest)) {
    const std::string name = e.path().filename().string();
    EXPECT_NE(e.path().extension(), ".part") << name;
    if (name != "manifest.json") {
      EXPECT_EQ(ReadFile(e.path()), ReadFile(emu.Root() / name)) << name;
    }
  }
  const size_t kept = Tree(dest).size();
  EXPECT_GE(kept, 1u);
  EXPECT_LT(kept, 3u);
  const size_t before = Count(emu.Log(), "Get ");
  const Outcome again = Tool(emu.Args({"backup", dest}));
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_TRUE(Tree(dest) == Tree(emu.Root()));
  EXPECT_EQ(Count(emu.Log(), "Get ") - before, 3 - kept) << "only what was missing is fetched";
}

TEST_F(CliTree, ABackupKilledMidRunKeepsAndTrustsExactlyTheFilesItHadFetched) {
  // The device's files, served by one emulator after the other: a killed
  // tool leaves its device mid-transfer.
  TempFolder device;
  const auto serve = [&](Emulator& emu) { fs::copy(device.Path(), emu.Root(), fs::copy_options::recursive); };
  const auto name = [](int i) { return "f" + std::to_string(i); };
  for (int i = 0; i < 6; ++i) WriteFile(device.Path() / name(i), RandomBytes(1000, 20 + i));
  const std::string dest = (local.Path() / "backup").string();
  {
    Emulator emu("quillon");
    serve(emu);
    const Outcome first = Tool(emu.Args({"backup", dest}));
    ASSERT_EQ(first.status, 0) << first.err;
  }
  // Every file changes size, so what the first backup recorded holds for none.
  for (int i = 0; i < 6; ++i) WriteFile(device.Path() / name(i), RandomBytes(16 * 1024, 40 + i));
  {
    // Paced at 115200 baud: each file takes about 1.5 seconds.
    Emulator emu("quillon", {"--line-rate", "115200"});
    serve(emu);
    ChildProcess run(emu.Args({"backup", dest}));
    const auto line =
        run.ErrLineWhere([](const std::string& l) { return l.find("4 of 6 files") != std::string::npos; }, 60s);
    ASSERT_TRUE(line.has_value()) << run.Err();
    run.Signal(SIGKILL);
    ASSERT_TRUE(run.Wait(60s).has_value());
  }
  // Each file is the old one or the new one, whole.
  int fresh = 0;
  for (int i = 0; i < 6; ++i) {
    const std::string got = ReadFile(fs::path(dest) / name(i));
    if (got == ReadFile(device.Path() / name(i))) ++fresh;
    else EXPECT_EQ(got, RandomBytes(1000, 20 + i)) << name(i);
  }
  EXPECT_GE(fresh, 3);
  // The next run fetches just the others; nothing is left over.
  Emulator emu("quillon");
  serve(emu);
  const Outcome again = Tool(emu.Args({"backup", dest}));
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.err.find(std::to_string(6 - fresh) + " fetched"), std::string::npos) << again.err;
  EXPECT_NE(again.err.find(std::to_string(fresh) + " unchanged"), std::string::npos) << again.err;
  EXPECT_EQ(Count(emu.Log(), "Get "), static_cast<size_t>(6 - fresh));
  EXPECT_TRUE(Tree(dest) == Tree(emu.Root()));
}

TEST_F(CliTree, ABackupTakesOnlyItsOwnTemporaryNamesForLeftoversNeverTheUsersFiles) {
  Emulator emu("quillon");
  WriteFile(emu.Root() / "a.bin", RandomBytes(200, 11));
  // A folder holding nothing but a file of the user's whose name merely ends
  // in ".part" is not empty: the backup is refused and the file stays.
  const fs::path mine = local.Path() / "mine";
  WriteFile(mine / ".draft.part", "the user's own");
  const Outcome refused = Tool(emu.Args({"backup", mine.string()}));
  EXPECT_EQ(refused.status, 2) << refused.err;
  EXPECT_NE(refused.err.find("is not empty and holds no backup"), std::string::npos) << refused.err;
  EXPECT_EQ(ReadFile(mine / ".draft.part"), "the user's own");
  // What a transfer of ours left is taken for a leftover and cleared.
  const fs::path cut = local.Path() / "cut";
  WriteFile(cut / ".corvane-ab12cd34.part", "half");
  const Outcome taken = Tool(emu.Args({"backup", cut.string()}));
  ASSERT_EQ(taken.status, 0) << taken.err;
  EXPECT_FALSE(fs::exists(cut / ".corvane-ab12cd34.part"));
  EXPECT_EQ(ReadFile(cut / "a.bin"), ReadFile(emu.Root() / "a.bin"));
}

TEST_F(CliTree, PutOfALocalFolderWithAMissingDeviceFolderIsRefusedWithNothingSent) {
  Emulator emu("quillon");
  fs::create_directories(emu.Root() / "site");
  WriteFile(local.Path() / "site" / "index.txt", "index");
  WriteFile(local.Path() / "site" / "img" / "logo.bin", RandomBytes(500, 6));
  const Outcome refused = Tool(emu.Args({"put", (local.Path() / "site").string(), "/"}));
  EXPECT_EQ(refused.status, 1) << refused.err;
  EXPECT_NE(refused.err.find("the device has no folder /site/img"), std::string::npos) << refused.err;
  EXPECT_EQ(emu.Log().find("Put "), std::string::npos);

  fs::create_directories(emu.Root() / "site" / "img");
  const Outcome ok = Tool(emu.Args({"put", (local.Path() / "site").string(), "/"}));
  ASSERT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(ReadFile(emu.Root() / "site" / "img" / "logo.bin"), ReadFile(local.Path() / "site" / "img" / "logo.bin"));
  EXPECT_EQ(ReadFile(emu.Root() / "site" / "index.txt"), "index");
}

}  // namespace
}  // namespace corvane::test

int main(int argc, char** argv) { return corvane::test::RunProgramTests(argc, argv); }
