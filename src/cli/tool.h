// The tool's commands: each connects as the options say and runs its
// operations on the device worker, with Ctrl-C as their Cancel.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <iostream>
#include <string>
#include <vector>

#include "cli/cli_text.h"
#include "cli/terminal_host.h"
#include "cli/tree_commands.h"
#include "session/device_session.h"
#include "session/device_worker.h"
#include "session/status_dialog.h"

namespace corvane::cli {

struct Options {
  std::string port;
  std::string tcp;
  std::string kind = "tallis";
  std::string baud;
  std::string progress;
  bool verbose = false;
  bool yes = false;
  std::string deviceLabel;  // one of several devices: its port, before each progress line
};

class Tool {
 public:
  // What the command prints goes to `out`, its closing note ("Saved FILE") to `note`.
  Tool(const Options& o, ProgressMode mode, std::ostream& out = std::cout, std::ostream& note = std::cerr);
  // The watcher goes before the worker and its session.
  ~Tool() { m_host.Detach(); }
  Tool(const Tool&) = delete;
  Tool& operator=(const Tool&) = delete;

  int Ports();
  int Info();
  int Ls(const std::string& path, bool json);
  int Get(const std::string& devicePath, const std::string& local);
  int Put(const std::string& local, const std::string& deviceFolder);
  int Rm(const std::string& devicePath);
  int Mv(const std::string& devicePath, const std::string& newName);
  int OpenEntry(const std::string& devicePath);
  int Shot(const std::string& file);
  int Upgrade(const std::string& image);
  int Mount(const std::string& mountPoint, uint64_t cacheMiB);

  // --wait: returns once a device answers as the options say, waiting up to
  // `seconds` for one to be plugged in (the port watch tells when a port
  // appears); raises the no-connection error when none came in time.
  void WaitForDevice(double seconds);

  TerminalHost& Host() { return m_host; }
  std::ostream& Note() { return m_note; }
  // Connects and runs an operation of the folder and backup commands.
  DeviceRun Runner();

 private:
  // Runs one operation on the device worker, with Ctrl-C as its Cancel.
  void Run(const DeviceWorker::Operation& op);

  bool PortExists() const;
  // The first line of `text` that names one of `ports`, or nothing.
  static std::string LineNaming(const std::string& text, const std::vector<std::string>& ports);

  // Names the device could not take are refused before anything is sent,
  // the connection's own bytes included.
  static void CheckNames(const DeviceSession& s, const Bytes& folder, std::initializer_list<Bytes> names);

  // On the device thread: connects as the options say, or raises why not.
  ConnectionState Open(DeviceSession& s);

  // Connecting by `link` left no port: after detection, its message and why
  // ports could not be opened; otherwise why the session is not connected.
  [[noreturn]] static void NoDevice(DeviceSession& s, const LinkTarget& link);

  Options m_opt;
  std::ostream& m_out;
  std::ostream& m_note;
  LogModel m_log;
  TerminalHost m_host;
  DeviceWorker m_worker;
};

}  // namespace corvane::cli
