// Whole files or none, through the corvane tool against corvane-emu on a
// pseudo-terminal: a put of a file cut short while it is sent, a get the
// device ends before the listed size, names as long as the device can hold,
// and an entry of a tree that cannot be saved here.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
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

class Emulator : public EmulatorProcess {
 public:
  explicit Emulator(std::vector<std::string> extra = {}) : EmulatorProcess(g_emulator, "quillon", extra) {}
  std::vector<std::string> Args(std::vector<std::string> args) const {
    std::vector<std::string> all = {g_tool, "--kind", "quillon", "--port", Link(), "--progress", "lines"};
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }
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

bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

class CliTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(g_tool.empty()) << "give --corvane=PATH or CORVANE_CLI";
    ASSERT_FALSE(g_emulator.empty()) << "give --corvane-emu=PATH or CORVANE_EMU";
  }
  TempFolder local;
};

TEST_F(CliTransfer, APutOfAFileCutShortWhileItIsSentExitsWithFourAndTheDeviceKeepsNothing) {
  // Paced at 38400 baud, 40 KiB take about ten seconds: time enough to cut
  // the file once the first block has gone.
  Emulator emu({"--line-rate", "38400"});
  const fs::path file = local.Path() / "shrinks.bin";
  WriteFile(file, RandomBytes(40 * 1024, 1));
  ChildProcess run(emu.Args({"put", file.string(), "/"}));
  const auto progress = run.ErrLineWhere([](const std::string& l) { return Has(l, " Kbytes ("); }, 30s);
  ASSERT_TRUE(progress.has_value()) << run.Err();
  fs::resize_file(file, 1000);
  const auto status = run.Wait(60s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 4) << run.Err();
  EXPECT_TRUE(Has(run.Err(), "became shorter while it was sent")) << run.Err();
  EXPECT_TRUE(emu.LogSays("The PC cancelled the transfer", 10s)) << emu.Stop();
  EXPECT_TRUE(fs::is_empty(emu.Root())) << "the device stored part of the file";
}

TEST_F(CliTransfer, AGetThatTheDeviceEndsEarlyFailsKeepsNothingAndSaysHowMuchCame) {
  {
    Emulator emu({"--end-early", "1"});
    WriteFile(emu.Root() / "big.bin", RandomBytes(100000, 2));
    const fs::path target = local.Path() / "big.bin";
    const Outcome r = Tool(emu.Args({"get", "/big.bin", target.string()}));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(Has(r.err, "1024 of 100000 bytes")) << r.err;
    EXPECT_TRUE(local.Entries().empty());
    // The device was left in step: the next command works.
    const Outcome again = Tool(emu.Args({"get", "/big.bin", target.string()}));
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(ReadFile(target) == ReadFile(emu.Root() / "big.bin"));
    fs::remove(target);
  }
  {
    Emulator emu({"--end-early", "1"});
    WriteFile(emu.Root() / "d" / "big.bin", RandomBytes(100000, 3));
    WriteFile(emu.Root() / "d" / "c.txt", "ten bytes!");
    const Outcome r = Tool(emu.Args({"get", "-r", "/d", (local.Path() / "out").string()}));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_FALSE(Has(r.err, "Saved ")) << r.err;
    EXPECT_TRUE(Has(r.err, "1024 of 100000 bytes")) << r.err;
    EXPECT_FALSE(fs::exists(local.Path() / "out" / "big.bin"));
  }
}

TEST_F(CliTransfer, NamesAsLongAsTheDeviceCanHoldAreFetched) {
  Emulator emu;
  const std::string longest(255, 'L');
  WriteFile(emu.Root() / longest, RandomBytes(3000, 4));
  // Two names that make the same safe local name: the second is numbered
  // and still fits the file system.
  const std::string control = std::string(254, 'A') + "\x01";
  const std::string underscore = std::string(254, 'A') + "_";
  WriteFile(emu.Root() / "d" / control, "with a control byte");
  WriteFile(emu.Root() / "d" / underscore, "with an underscore");
  WriteFile(emu.Root() / "d" / std::string(255, 'M'), RandomBytes(1500, 5));

  const fs::path one = local.Path() / longest;
  const Outcome get = Tool(emu.Args({"get", "/" + longest, one.string()}));
  ASSERT_EQ(get.status, 0) << get.err;
  EXPECT_TRUE(ReadFile(one) == ReadFile(emu.Root() / longest));

  const fs::path out = local.Path() / "out";
  const Outcome tree = Tool(emu.Args({"get", "-r", "/d", out.string()}));
  ASSERT_EQ(tree.status, 0) << tree.err;
  EXPECT_TRUE(Has(tree.err, "Saved 3 files")) << tree.err;
  EXPECT_TRUE(ReadFile(out / std::string(255, 'M')) == ReadFile(emu.Root() / "d" / std::string(255, 'M')));
  EXPECT_EQ(ReadFile(out / underscore), "with a control byte");
  size_t numbered = 0;
  for (const auto& e : fs::directory_iterator(out)) {
    const std::string name = e.path().filename().string();
    EXPECT_LE(name.size(), 255u);
    EXPECT_NE(name.front(), '.') << "a temporary file was left";
    if (Has(name, " (2)")) {
      ++numbered;
      EXPECT_EQ(ReadFile(e.path()), "with an underscore");
    }
  }
  EXPECT_EQ(numbered, 1u);

  const std::string dest = (local.Path() / "backup").string();
  const Outcome backup = Tool(emu.Args({"backup", dest}));
  ASSERT_EQ(backup.status, 0) << backup.err;
  EXPECT_TRUE(ReadFile(fs::path(dest) / longest) == ReadFile(emu.Root() / longest));
}

TEST_F(CliTransfer, AnEntryThatCannotBeSavedHereIsReportedAndTheRestIsCopied) {
  Emulator emu;
  WriteFile(emu.Root() / "d" / "a.bin", RandomBytes(700, 6));
  WriteFile(emu.Root() / "d" / "b.bin", RandomBytes(800, 7));
  WriteFile(emu.Root() / "d" / "c.bin", RandomBytes(900, 8));
  // A folder stands where b.bin would go.
  const fs::path out = local.Path() / "out";
  fs::create_directories(out / "d" / "b.bin");
  const Outcome tree = Tool(emu.Args({"get", "-r", "/d", out.string()}));
  EXPECT_EQ(tree.status, 4) << tree.err;
  EXPECT_TRUE(Has(tree.err, "not copied: /d/b.bin: Cannot write")) << tree.err;
  EXPECT_TRUE(Has(tree.err, "Saved 2 files")) << tree.err;
  EXPECT_TRUE(ReadFile(out / "d" / "a.bin") == ReadFile(emu.Root() / "d" / "a.bin"));
  EXPECT_TRUE(ReadFile(out / "d" / "c.bin") == ReadFile(emu.Root() / "d" / "c.bin"));
  EXPECT_TRUE(fs::is_directory(out / "d" / "b.bin"));

  // A backup goes on past such an entry too, and says it is not complete.
  const std::string dest = (local.Path() / "backup").string();
  ASSERT_EQ(Tool(emu.Args({"backup", dest})).status, 0);
  fs::remove(fs::path(dest) / "d" / "b.bin");
  fs::create_directories(fs::path(dest) / "d" / "b.bin" / "in the way");
  WriteFile(emu.Root() / "d" / "c.bin", RandomBytes(950, 9));  // changed: fetched again
  const Outcome backup = Tool(emu.Args({"backup", dest}));
  EXPECT_EQ(backup.status, 1) << backup.err;
  EXPECT_TRUE(Has(backup.err, "not copied: /d/b.bin: Cannot write")) << backup.err;
  EXPECT_TRUE(Has(backup.err, "The backup is not complete")) << backup.err;
  // The manifest says so too: a later reader must not take it for whole.
  const std::string manifest = ReadFile(fs::path(dest) / "manifest.json");
  EXPECT_TRUE(Has(manifest, "\"complete\": false")) << manifest;
  EXPECT_FALSE(Has(manifest, "b.bin")) << manifest;
  EXPECT_TRUE(ReadFile(fs::path(dest) / "d" / "c.bin") == ReadFile(emu.Root() / "d" / "c.bin"));
}

}  // namespace
}  // namespace corvane::test

int main(int argc, char** argv) { return corvane::test::RunProgramTests(argc, argv); }
