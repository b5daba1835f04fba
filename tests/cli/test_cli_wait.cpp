// corvane --wait run as a program: the device is plugged in (the emulator's
// pseudo-terminal linked into a watched folder) after the command started,
// the wait ends at its time-out with the no-connection status, and the wait's
// own argument is checked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

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

bool StartsWaiting(ChildProcess& tool) {
  return tool.ErrLineWhere([](const std::string& l) { return l.rfind("Waiting up to ", 0) == 0; }, 20s).has_value();
}

TEST(CliWait, DevicePluggedInAfterTheCommandStartedIsFoundByAuto) {
  EmulatorProcess emu(ProgramsUnderTest().emulator, "tallis", {});
  WriteFile(emu.Root() / "GREET", "hello");
  TempFolder ports;
  ChildProcess tool({ProgramsUnderTest().tool, "--port-dir", ports.Path().string(), "--wait=30", "ls"});
  ASSERT_TRUE(StartsWaiting(tool)) << tool.Err();
  fs::create_symlink(emu.Link(), ports.Path() / "ttyUSB0");
  const auto code = tool.Wait(30s);
  ASSERT_TRUE(code.has_value()) << "still waiting after the device was plugged in: " << tool.Err();
  EXPECT_EQ(*code, 0) << tool.Err();
  EXPECT_NE(tool.Out().find("GREET"), std::string::npos) << tool.Out();
}

TEST(CliWait, PortPluggedInBusyIsTriedAgainUntilItIsFree) {
  EmulatorProcess emu(ProgramsUnderTest().emulator, "tallis", {});
  WriteFile(emu.Root() / "GREET", "hello");
  TempFolder ports;
  // Held as a modem manager probing a new port would hold it.
  const int holder = ::open(emu.Link().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  ChildProcess tool({ProgramsUnderTest().tool, "--port-dir", ports.Path().string(), "--wait=30", "ls"});
  ASSERT_TRUE(StartsWaiting(tool)) << tool.Err();
  fs::create_symlink(emu.Link(), ports.Path() / "ttyUSB3");
  const auto busy = tool.ErrLineWhere(
      [](const std::string& l) { return l.rfind("A port cannot be opened yet; trying again: ", 0) == 0; }, 20s);
  ASSERT_TRUE(busy.has_value()) << tool.Err();
  EXPECT_NE(busy->find("ttyUSB3"), std::string::npos) << *busy;
  ::close(holder);
  const auto code = tool.Wait(30s);
  ASSERT_TRUE(code.has_value()) << tool.Err();
  EXPECT_EQ(*code, 0) << tool.Err();
  EXPECT_NE(tool.Out().find("GREET"), std::string::npos) << tool.Out();
}

TEST(CliWait, NamedPortThatAppearsLaterIsWaitedFor) {
  EmulatorProcess emu(ProgramsUnderTest().emulator, "tallis", {});
  TempFolder ports;
  const std::string port = (ports.Path() / "later" / "ttyACM0").string();  // its folder is missing too
  ChildProcess tool({ProgramsUnderTest().tool, "--port", port, "--wait", "info"});
  ASSERT_TRUE(StartsWaiting(tool)) << tool.Err();
  EXPECT_NE(tool.Err().find("Waiting up to 60 s"), std::string::npos) << tool.Err();
  fs::create_directory(ports.Path() / "later");
  fs::create_symlink(emu.Link(), port);
  const auto code = tool.Wait(30s);
  ASSERT_TRUE(code.has_value()) << tool.Err();
  EXPECT_EQ(*code, 0) << tool.Err();
  EXPECT_NE(tool.Out().find("link: " + port), std::string::npos) << tool.Out();
}

TEST(CliWait, TimeOutEndsWithTheNoConnectionStatusAndWhatToDo) {
  TempFolder ports;
  ChildProcess tool({ProgramsUnderTest().tool, "--port-dir", ports.Path().string(), "--wait=0.2", "ls"});
  const auto code = tool.Wait(20s);
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, 3);
  EXPECT_NE(tool.Err().find("corvane: No device appeared within 0.2 s"), std::string::npos) << tool.Err();
  EXPECT_NE(tool.Err().find("--wait=SECONDS"), std::string::npos) << tool.Err();
  EXPECT_TRUE(tool.Out().empty());
}

TEST(CliWait, WaitArgumentIsChecked) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--wait=0", "ls"}, {"--wait=soon", "ls"}, {"--wait=-5", "ls"},
        {"--wait=30", "--tcp", "127.0.0.1", "info"}, {"--wait", "--all", "ls"}}) {
    std::vector<std::string> argv = {ProgramsUnderTest().tool};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess tool(argv);
    const auto code = tool.Wait(20s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 2) << args[0] << " " << args[1] << ": " << tool.Err();
  }
}

}  // namespace
}  // namespace corvane::test

int main(int argc, char** argv) { return corvane::test::RunProgramTests(argc, argv); }
