#pragma once
// What the tool's process tests share: corvane-emu started for a test,
// corvane run to its end, its command lines for one device, and the fixture
// that checks both programs were given.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "emulator_process.h"

namespace corvane::test::cli_process {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline std::string ToolPath() { return ProgramsUnderTest().tool; }
inline std::string EmulatorPath() { return ProgramsUnderTest().emulator; }

inline void WriteFile(const fs::path& p, const std::string& data) { std::ofstream(p, std::ios::binary) << data; }

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

inline std::vector<std::string> Quillon(const Emulator& emu, std::vector<std::string> args) {
  std::vector<std::string> all = {"--kind", "quillon", "--port", emu.Link()};
  all.insert(all.end(), args.begin(), args.end());
  return all;
}

inline std::vector<std::string> Tallis(const Emulator& emu, std::vector<std::string> args) {
  std::vector<std::string> all = {"--kind", "tallis", "--port", emu.Link()};
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

}  // namespace corvane::test::cli_process
