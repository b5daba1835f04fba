#pragma once
// What the tool's process tests share: a scratch folder, whole-file reads and
// writes, and corvane-emu running as a program on a pseudo-terminal.
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

namespace corvane::test {

// A private folder under the system's temp folder, removed with all it holds.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "corvane-cli-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    m_path = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  const std::filesystem::path& Path() const { return m_path; }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(m_path)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::filesystem::path m_path;
};

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

inline std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

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
