#pragma once
// What the tool's process tests share: a scratch folder, whole-file reads and
// writes, and corvane-emu running as a program on a pseudo-terminal.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "child_process.h"
#include "../support/test_data.h"

namespace corvane::test {

using TempFolder = ScratchFolder;

// The programs under test: --corvane=PATH and --corvane-emu=PATH on the
// command line, or CORVANE_CLI and CORVANE_EMU in the environment.
struct Programs {
  std::string tool;
  std::string emulator;
};
inline Programs& ProgramsUnderTest() {
  static Programs programs;
  return programs;
}

// A process test binary's main: finds the programs, then runs the tests.
inline int RunProgramTests(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  Programs& p = ProgramsUnderTest();
  if (const char* v = std::getenv("CORVANE_CLI")) p.tool = v;
  if (const char* v = std::getenv("CORVANE_EMU")) p.emulator = v;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--corvane=", 0) == 0) p.tool = arg.substr(10);
    if (arg.rfind("--corvane-emu=", 0) == 0) p.emulator = arg.substr(14);
  }
  return RUN_ALL_TESTS();
}

// A Tallis object as the emulator keeps it: "CVOBJ", the body's length
// (4 bytes, least significant first), the body.
inline std::string TallisObject(const std::string& body) {
  std::string o = "CVOBJ";
  for (int i = 0; i < 4; ++i) o += static_cast<char>((body.size() >> (8 * i)) & 0xFF);
  return o + body;
}

inline std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

// Writes `data` as the whole file, making its folders first.
inline void WriteFile(const std::filesystem::path& p, const std::string& data) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << data;
}

inline std::string ReadFile(const std::filesystem::path& p) { return ReadWhole(p); }

// corvane-emu serving a folder on a pseudo-terminal, linked at a path in its
// own folder; its log (stdout) is kept.
class EmulatorProcess {
 public:
  EmulatorProcess(const std::string& program, const std::string& kind, const std::vector<std::string>& extra)
      : m_link((m_dir.Path() / "port").string()) {
    std::vector<std::string> argv = {program, "--kind", kind, "--root", Root().string(), "--pty", m_link};
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::filesystem::create_directory(Root());
    m_process = std::make_unique<ChildProcess>(argv);
    // It says where it serves once the link is there.
    for (;;) {
      auto line = m_process->OutLine(std::chrono::seconds(10));
      if (!line) throw std::runtime_error("the emulator did not start: " + m_process->Err());
      if (line->rfind("Serial port:", 0) == 0) break;
    }
  }
  ~EmulatorProcess() { Stop(); }
  EmulatorProcess(const EmulatorProcess&) = delete;
  EmulatorProcess& operator=(const EmulatorProcess&) = delete;

  std::filesystem::path Root() const { return m_dir.Path() / "root"; }
  const std::string& Link() const { return m_link; }
  // Waits for a line of its log that holds `text`; false when none came.
  bool LogSays(const std::string& text, std::chrono::milliseconds within) {
    while (m_process) {
      const auto line = m_process->OutLine(within);
      if (!line) return false;
      if (line->find(text) != std::string::npos) return true;
    }
    return false;
  }
  // The log so far (its lines arrive as the device works).
  std::string Log() {
    while (m_process && m_process->OutLine(std::chrono::milliseconds(100))) {
    }
    return m_process ? m_process->Out() : m_log;
  }
  // Ends the emulator at once, as a pulled cable or a device switched off
  // would: no goodbye on the link.
  void Kill() {
    if (!m_process) return;
    m_process->Signal(SIGKILL);
    m_process->Wait(std::chrono::seconds(10));
  }
  // Ends the emulator and returns its whole log.
  std::string Stop() {
    if (m_process) {
      m_process->Signal(SIGTERM);
      m_process->Wait(std::chrono::seconds(10));
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

}  // namespace corvane::test
