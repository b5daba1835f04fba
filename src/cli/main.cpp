// corvane: the kit's command-line tool: its options and commands.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "cli/cli_text.h"
#include "cli/multi_device.h"
#include "cli/terminal_host.h"
#include "cli/tool.h"
#include "cli/tree_commands.h"
#include "desktop/local_files.h"
#include "link/link_error.h"
#include "link/serial_port.h"
#include "session/device_session.h"

namespace corvane::cli {
namespace {

namespace fs = std::filesystem;

// The closing line(s) of a failure on stderr.
// A cancel says what was kept, by command; what else it has to say is in its
// detail (its message is the text the log and the transfer dialog show).
void ReportFailure(const DeviceError& e, const std::string& command) {
  if (e.Kind() == ErrorKind::kCancelled) {
    const bool transfer = command == "get" || command == "shot";
    const bool tree = command == "get -r" || command == "backup";
    std::cerr << (transfer ? "Cancelled; nothing was kept."
                  : tree   ? "Cancelled; the files that arrived whole are kept (a backup run again goes on from there)."
                           : "Cancelled.")
              << '\n';
  } else {
    std::cerr << "corvane: " << TerminalText(OneLine(e.what())) << '\n';
  }
  // The system's reason and what to do, one line each.
  std::istringstream detail(e.Detail());
  std::string line;
  while (std::getline(detail, line))
    if (!line.empty()) std::cerr << "  " << TerminalText(OneLine(line)) << '\n';
}

// A check of an option's value: refuses the empty text, asking for `wanted`.
CLI::Validator NotEmpty(const std::string& wanted) {
  return CLI::Validator(
      [wanted](std::string& value) { return value.empty() ? "it is empty: give " + wanted : std::string(); }, "");
}

// The word the user gave where a command belongs, when a parse failed for
// want of a known one; empty otherwise.
std::string UnknownCommand(const CLI::App& app) {
  if (!app.get_subcommands().empty()) return {};
  for (const std::string& word : app.remaining())
    if (!word.empty() && word[0] != '-') return word;
  return {};
}

// The commands, in the order --help lists them: "ports, info, ls, ...".
std::string CommandNames(const CLI::App& app) {
  std::string names;
  for (const CLI::App* sub : app.get_subcommands({})) names += (names.empty() ? "" : ", ") + sub->get_name();
  return names;
}

}  // namespace
}  // namespace corvane::cli

int main(int argc, char** argv) {
  using namespace corvane::cli;
  namespace fs = std::filesystem;
  Options opt;
  CLI::App app{"corvane: browse and copy the files of a Corvane Tallis or Quillon over a serial cable or TCP/IP"};
  app.set_version_flag("--version", std::string("corvane ") + CORVANE_VERSION);
  app.require_subcommand(1);
  std::vector<std::string> portList;
  bool all = false, jsonReport = false;
  auto* portOpt = app.add_option("--port", portList,
                                 "Serial port path (default: detect the device on every port); repeat it to run the "
                                 "command on several devices at once")
                      ->allow_extra_args(false)
                      ->check(NotEmpty("a port path such as /dev/ttyUSB0; leave out --port to detect the device"));
  auto* allOpt = app.add_flag("--all", all, "Run the command on every device \"Auto\" detection finds, all at once");
  app.add_flag("--json", jsonReport,
               "One JSON object per device on stdout: port, kind, status, exit_code, message, detail, result");
  app.add_option("--tcp", opt.tcp, "IPv4 address of a Quillon on the network, optionally :PORT (default port 46601)")
      ->check(NotEmpty("an IPv4 address such as 192.168.0.2, optionally :PORT"))
      ->excludes(portOpt)
      ->excludes(allOpt);
  auto* kindOpt = app.add_option("--kind", opt.kind, "Device kind (with --tcp: the Quillon, the only kind on TCP/IP)")
                     ->check(CLI::IsMember({"tallis", "quillon"}));
  app.add_option("--baud", opt.baud, "Baud rate (default: 9600 for the Tallis, 115200 for the Quillon)")
      ->check(CLI::IsMember({"9600", "19200", "115200"}));
  std::vector<std::string> portDirs;
  app.add_option("--port-dir", portDirs,
                 "Also offer the serial devices in DIR, and links to them, as ports (for detection, 'ports' and "
                 "--wait); repeatable")
      ->type_name("DIR")
      ->allow_extra_args(false);
  std::string waitText;
  auto* waitOpt = app.add_option("--wait", waitText,
                                 "Wait up to SECONDS (default 60) for the device to be plugged in and answer, then run "
                                 "the command; exit 3 if none came")
                      ->type_name("[=SECONDS]")
                      ->expected(0, 1)
                      ->excludes(allOpt);
  app.add_flag("--verbose,-v", opt.verbose, "Print every session message");
  app.add_option("--progress", opt.progress,
                 "How transfers report on stderr: bar, lines (one line per report), json (one JSON object per "
                 "report: kind, phase, done, total, elapsed_ms, text) or none (default: bar on a terminal, else lines; "
                 "none with several devices)")
      ->check(CLI::IsMember({"bar", "lines", "json", "none"}));
  app.footer(std::string(ExitCodeTable()) + "\n" + SeveralDevicesHelp());

  std::string path = "\\", local, folder = "\\", newName, file;
  bool json = false, recursive = false;
  auto* ports = app.add_subcommand("ports", "List the serial ports");
  auto* info = app.add_subcommand("info", "Connect and print the device's version");
  auto* ls = app.add_subcommand("ls", "List a device folder (one entry a line: kind, size in bytes, name)");
  ls->add_option("DEVICE_PATH", path, "Folder on the device, with \\ or /");
  ls->add_flag("--json", json, "Print a JSON array of {name, size, kind}");
  auto* get = app.add_subcommand("get", "Copy a device file to this computer");
  get->add_option("DEVICE_PATH", path, "File on the device")->required();
  get->add_option("LOCAL", local, "Local file or folder (default: the device name, made safe, here)");
  get->add_flag("--recursive,-r", recursive, "Copy a device folder and everything below it, keeping the tree");
  auto* put = app.add_subcommand("put", "Copy a local file or folder to the device (a folder needs device folders of the same names)");
  put->add_option("LOCAL", local, "Local file or folder")->required();
  put->add_option("DEVICE_FOLDER", folder, "Device folder (default: the root)");
  auto* rm = app.add_subcommand("rm", "Delete a device entry");
  rm->add_option("DEVICE_PATH", path, "Entry on the device")->required();
  auto* mv = app.add_subcommand("mv", "Rename a device entry");
  mv->add_option("DEVICE_PATH", path, "Entry on the device")->required();
  mv->add_option("NEW_NAME", newName, "New name")->required();
  auto* open = app.add_subcommand("open", "Ask the device to open an entry");
  open->add_option("DEVICE_PATH", path, "Entry on the device")->required();
  auto* shot = app.add_subcommand("shot", "Capture the device's screen (.bmp as received, .png converted)");
  shot->add_option("FILE", file, "Picture file to write")->required();
  auto* upgrade = app.add_subcommand("upgrade", "Replace the Quillon's system software from a .bix file");
  upgrade->add_option("FILE", file, "ROM upgrade file (*.bix)")->required();
  upgrade->add_flag("--yes,-y", opt.yes, "Do not ask for confirmation");
  auto* backup = app.add_subcommand("backup", "Mirror the whole device into a local folder (again: only what changed)");
  backup->add_option("DEST", local, "Local folder (made if missing); holds manifest.json")->required();
  auto* restore = app.add_subcommand("restore", "Put the files of a backup back into the device folders that exist");
  restore->add_option("DEST", local, "Folder written by 'corvane backup'")->required();
  restore->add_option("DEVICE_FOLDER", folder, "Only the files below this device folder (default: all)");

  std::string mountPoint;
  uint64_t cacheMiB = 256;
  auto* mount = app.add_subcommand("mount", "Show the device's folders as a folder of this computer until unmounted");
  mount->add_option("MOUNTPOINT", mountPoint, "An empty folder of yours")->required();
  mount->add_option("--cache-size", cacheMiB, "MiB kept of files read through the mount (default 256)")
      ->check(CLI::Range(uint64_t{1}, uint64_t{1} << 20));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (const std::string unknown = UnknownCommand(app); !unknown.empty()) {
      std::cerr << "corvane: '" << TerminalText(unknown) << "' is not a command. The commands are: "
                << CommandNames(app) << ". See corvane --help\n";
      return ExitCode(corvane::ErrorKind::kUsage);
    }
    if (app.get_subcommands().empty() && dynamic_cast<const CLI::RequiredError*>(&e) != nullptr) {
      std::cerr << "corvane: give a command: " << CommandNames(app) << ". See corvane --help\n";
      return ExitCode(corvane::ErrorKind::kUsage);
    }
    // --help and --version end here too, successfully.
    return app.exit(e) == 0 ? 0 : ExitCode(corvane::ErrorKind::kUsage);
  }
  if (portList.size() == 1) opt.port = portList.front();
  for (const auto& dir : portDirs) corvane::AddSerialPortFolder(dir);
  double waitSeconds = 0;
  if (waitOpt->count() > 0) {
    waitSeconds = 60;
    if (!waitText.empty()) {
      char* end = nullptr;
      waitSeconds = std::strtod(waitText.c_str(), &end);
      if (end == waitText.c_str() || *end != '\0' || !std::isfinite(waitSeconds) || waitSeconds <= 0 ||
          waitSeconds > 86400) {
        std::cerr << "corvane: --wait=" << corvane::cli::TerminalText(waitText)
                  << ": give the longest wait in seconds, a number above 0 (at most 86400), as in --wait=30\n";
        return ExitCode(corvane::ErrorKind::kUsage);
      }
    }
    if (portList.size() > 1 || !opt.tcp.empty() || jsonReport) {
      std::cerr << "corvane: --wait waits for one device on a serial port: leave it out with --tcp, --json or "
                   "several --port\n";
      return ExitCode(corvane::ErrorKind::kUsage);
    }
  }
  const bool several = (all || portList.size() > 1 || jsonReport) && !*ports;
  ProgressMode mode = opt.progress.empty() ? (::isatty(2) ? ProgressMode::kBar : ProgressMode::kLines)
                                           : *ParseProgressMode(opt.progress);
  if (several) mode = opt.progress.empty() ? ProgressMode::kNone : mode;
  if (*mount && opt.progress.empty()) mode = ProgressMode::kNone;  // a mount serves many transfers
  std::string command;
  for (const auto* sub : app.get_subcommands()) command = sub->get_name();
  if (command == "get" && recursive) command = "get -r";
  TerminalHost::InstallInterruptHandler();
  // The command, on the device `tool` talks to; with several devices, get
  // and shot write under per-device folders (localArg, fileArg).
  const auto runCommand = [&](Tool& tool, const std::string& localArg, const std::string& fileArg, bool jsonList) {
    if (*ports) return tool.Ports();
    if (*info) return tool.Info();
    if (*ls) return tool.Ls(path, jsonList);
    if (*get) return recursive ? GetTree(tool.Runner(), tool.Note(), path, localArg) : tool.Get(path, localArg);
    if (*put) return fs::is_directory(local) ? PutTree(tool.Runner(), tool.Note(), local, folder) : tool.Put(local, folder);
    if (*backup) return Backup(tool.Runner(), tool.Note(), local);
    if (*restore) return Restore(tool.Runner(), tool.Note(), local, folder);
    if (*rm) return tool.Rm(path);
    if (*mv) return tool.Mv(path, newName);
    if (*open) return tool.OpenEntry(path);
    if (*shot) return tool.Shot(fileArg);
    if (*upgrade) return tool.Upgrade(fileArg);
    if (*mount) return tool.Mount(mountPoint, cacheMiB);
    return 0;
  };
  try {
    // TCP/IP is the Quillon's link alone: the Tallis protocol spoken to it
    // would read its answers as garbage.
    if (!opt.tcp.empty()) {
      if (kindOpt->count() > 0 && opt.kind != "quillon")
        throw UsageError("--tcp connects to a Quillon, and the Tallis has no TCP/IP link: leave out --kind " +
                         opt.kind + ", or connect the Tallis with --port");
      opt.kind = "quillon";
    }
    if (several) {
      CheckSeveralDevicesCommand(command, mode, local);
      for (const auto& p : portList) corvane::AddExtraSerialPort(p);
      const std::vector<std::string> devices = all ? FindAllDevices(opt.kind == "quillon", opt.baud) : portList;
      return RunOnSeveralDevices(devices, {jsonReport, opt.kind}, [&](const DeviceJob& job) {
        Options one = opt;
        one.port = one.deviceLabel = job.port;
        Tool tool(one, mode, job.out, job.note);
        const std::string localArg = *get ? job.LocalFolder(local) : local;
        std::string fileArg = file;
        if (*shot)
          fileArg = corvane::JoinLocalPath(job.LocalFolder(fs::path(file).parent_path().string()),
                                           fs::path(file).filename().string());
        return runCommand(tool, localArg, fileArg, json || jsonReport);
      });
    }
    Tool tool(opt, mode);
    if (waitOpt->count() > 0) tool.WaitForDevice(waitSeconds);
    return runCommand(tool, local, file, json);
  } catch (const corvane::DeviceError& e) {
    ReportFailure(e, command);
    return e.Kind() == corvane::ErrorKind::kCancelled ? TerminalHost::CancelledExitCode() : ExitCode(e.Kind());
  } catch (const std::exception& e) {
    std::cerr << "corvane: " << TerminalText(OneLine(e.what())) << '\n';
    return ExitCode(corvane::ErrorKind::kFailed);
  }
  return 0;
}
