#pragma once
// One command on several devices at once: `corvane --port A --port B ...`,
// `--all` (every port where a device answers) or `--json`. Each device gets
// its own thread, and through its own Tool its own device worker and line,
// so N devices take about the time of one. What a device's command prints is
// kept until it ends; then its lines and one result line (or one JSON object)
// go to stdout at once, so the devices' output never mixes.
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/cli_text.h"
#include "link/link_error.h"

namespace corvane::cli {

// How a run on several devices reports.
struct SeveralDevicesReport {
  bool json = false;  // one JSON object per device instead of lines
  std::string kind;   // "tallis" or "quillon", as given
};

// What one device's command works with.
struct DeviceJob {
  std::string port;     // the serial port
  std::string tag;      // the port as a local folder name (unique in the run)
  std::ostream& out;    // the command's stdout, kept until the device ends
  std::ostream& note;   // its closing note ("Saved FILE"), kept likewise
  // `base`/TAG, created (with `base`) when missing: where this device's files go, so that
  // several devices never write the same local file. Raises the local file
  // error when it cannot be made.
  std::string LocalFolder(const std::string& base) const;
};

// Runs the command on one device; returns its exit status or raises the
// DeviceError it failed with.
using DeviceCommand = std::function<int(const DeviceJob& job)>;

// Refuses, before any device is touched, what cannot run on several
// devices (UsageError): upgrade, backup (each device needs its own DEST), a
// progress bar, and get into a LOCAL that is not a folder.
void CheckSeveralDevicesCommand(const std::string& command, ProgressMode mode, const std::string& local);

// For --help: how several devices run, report and name their files.
const char* SeveralDevicesHelp();

// Runs `command` on every port at once and waits for all of them; prints each
// device's result as it ends. Returns the worst exit status (WorseExitCode).
// Raises UsageError, running nothing, for no port or a port given twice.
int RunOnSeveralDevices(const std::vector<std::string>& ports, const SeveralDevicesReport& report,
                        const DeviceCommand& command);

// Every port of the list "Auto" detection tries (ListSerialPorts) where a
// device answers the version command, probed all at once, in the list's
// order. Raises the "No device detected" connection error when none does.
std::vector<std::string> FindAllDevices(bool quillon, const std::string& baud);

// Local folder names for the ports: the port's file name ("ttyUSB0"), or,
// when two ports share one, the whole path with '/' as '_'; always a safe
// local name.
std::vector<std::string> PortTags(const std::vector<std::string>& ports);

// The worse of two exit statuses. From worst to best: 130 cancelled (143
// and 129 alike: cancelled by SIGTERM, SIGHUP), 2 usage,
// 3 no device or connection, 4 local file, 1 failed, 0 success.
int WorseExitCode(int a, int b);

// The "result" member of a device's JSON object, made from what its command
// printed: JSON (ls --json) as it is, on one line; "key: value" lines (info)
// as an object of strings; other lines as an array of strings; nothing
// printed as an empty string (no member).
std::string ResultJson(const std::string& printed);

// Names of the statuses in JSON: "ok", "failed", "usage", "no-connection",
// "local-file", "cancelled".
const char* ExitStatusWord(int code);

}  // namespace corvane::cli
