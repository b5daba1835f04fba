#include "cli/multi_device.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "cli/cli_text.h"
#include "cli/terminal_host.h"
#include "desktop/local_files.h"
#include "link/serial_port.h"
#include "session/device_worker.h"

namespace corvane::cli {
namespace {

namespace fs = std::filesystem;

// Severity of an exit status: the higher, the worse.
int Severity(int code) {
  switch (code) {
    case 0: return 0;
    case 1: return 1;
    case 4: return 2;
    case 3: return 3;
    case 2: return 4;
    case 130:
    case 143:
    case 129: return 5;
    default: return 1;  // unknown: a failure
  }
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

// A port path as one local name: no separators, no control bytes, not "." or "..".
std::string FolderName(const std::string& text) {
  std::string out;
  for (unsigned char c : text) out += (c < 0x20 || c == 0x7f || c == '/' || c == '\\') ? '_' : static_cast<char>(c);
  const auto first = out.find_first_not_of('_');
  out = first == std::string::npos ? std::string() : out.substr(first);
  if (out.empty() || out == "." || out == "..") out = "port" + out;
  if (out.size() > 255) out.resize(255);
  return out;
}

// The outcome of one device's command.
struct Outcome {
  int code = 0;
  std::string message;
  std::string detail;
  std::vector<std::string> notes;  // the command's other lines ("not placed: ...")
};

std::string TextReport(const std::string& port, const std::string& printed, const Outcome& o) {
  const std::string prefix = TerminalText(port) + ": ";
  std::string text;
  // What the command printed is the tool's own (names already shown safely,
  // tabs between fields); the rest may carry names and local paths.
  for (const auto& line : Lines(printed)) text += prefix + DisplayText(line) + '\n';
  for (const auto& line : o.notes) text += prefix + TerminalText(line) + '\n';
  std::string result = o.code == 0 ? "ok" : std::string(ExitStatusWord(o.code)) + " (exit " + std::to_string(o.code) + ")";
  if (!o.message.empty()) result += ": " + TerminalText(OneLine(o.message));
  if (!o.detail.empty()) result += " (" + TerminalText(OneLine(o.detail)) + ")";
  return text + prefix + result + '\n';
}

std::string JsonReport(const std::string& port, const std::string& kind, const std::string& printed, const Outcome& o) {
  std::string json = "{\"port\": " + JsonString(port) + ", \"kind\": " + JsonString(kind) + ", \"status\": \"" +
                     ExitStatusWord(o.code) + "\", \"exit_code\": " + std::to_string(o.code) +
                     ", \"message\": " + JsonString(DisplayText(OneLine(o.message)));
  if (!o.detail.empty()) json += ", \"detail\": " + JsonString(DisplayText(OneLine(o.detail)));
  if (!o.notes.empty()) {
    json += ", \"notes\": [";
    for (size_t i = 0; i < o.notes.size(); ++i) json += (i ? ", " : "") + JsonString(DisplayText(o.notes[i]));
    json += "]";
  }
  if (const std::string result = ResultJson(printed); !result.empty()) json += ", \"result\": " + result;
  return json + "}\n";
}

}  // namespace

std::string DeviceJob::LocalFolder(const std::string& base) const {
  const std::string folder = JoinLocalPath(base.empty() ? "." : base, tag);
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec || !fs::is_directory(folder))
    throw DeviceError(ErrorKind::kLocalFile,
                      "Cannot write " + folder + ": " + (ec ? ec.message() : std::string("it is not a folder")) + ".",
                      "Choose a folder you may write to.");
  return folder;
}

void CheckSeveralDevicesCommand(const std::string& command, ProgressMode mode, const std::string& local) {
  if (command == "upgrade")
    throw UsageError("upgrade works on one device at a time: give one --port (and no --all or --json)");
  if (command == "backup")
    throw UsageError("back up one device at a time, each into its own folder: corvane --port PORT backup DEST");
  if (mode == ProgressMode::kBar)
    throw UsageError("--progress bar shows one device; with several, give --progress lines, json or none");
  std::error_code ec;
  if (command == "get" && !local.empty() && fs::exists(local, ec) && !fs::is_directory(local, ec))
    throw UsageError("with several devices, get writes one copy per device into LOCAL/PORT/; '" + local +
                     "' is not a folder");
}

const char* SeveralDevicesHelp() {
  return "Several devices (--port repeated, --all, or --json):\n"
         "  The command runs on every device at once, each on its own line. Each device's\n"
         "  output lines come prefixed with its port, then one result line ('PORT: ok', or\n"
         "  'PORT: no-connection (exit 3): message'); with --json, one object per device.\n"
         "  Progress is off unless --progress lines or json (each line or object carries\n"
         "  the port); bar is refused. get and shot write into one sub-folder per device,\n"
         "  named after its port: LOCAL/ttyUSB0/NAME, FOLDER/ttyUSB1/FILE. upgrade and\n"
         "  backup are refused. Ctrl-C (or SIGTERM, SIGHUP) cancels every transfer. The\n"
         "  exit status is the worst of the devices', worst first: 130 (143, 129), 2, 3,\n"
         "  4, 1, 0.\n";
}

int WorseExitCode(int a, int b) { return Severity(b) > Severity(a) ? b : a; }

const char* ExitStatusWord(int code) {
  switch (code) {
    case 0: return "ok";
    case 2: return "usage";
    case 3: return "no-connection";
    case 4: return "local-file";
    case 130:
    case 143:
    case 129: return "cancelled";
    default: return "failed";
  }
}

std::vector<std::string> PortTags(const std::vector<std::string>& ports) {
  std::map<std::string, int> uses;
  for (const auto& p : ports) ++uses[FolderName(fs::path(p).filename().string())];
  std::vector<std::string> tags;
  for (const auto& p : ports) {
    const std::string shortName = FolderName(fs::path(p).filename().string());
    tags.push_back(uses[shortName] > 1 ? FolderName(p) : shortName);
  }
  return tags;
}

std::string ResultJson(const std::string& printed) {
  const auto first = printed.find_first_not_of(" \n");
  if (first == std::string::npos) return {};
  if (printed[first] == '[' || printed[first] == '{') {
    // Our own JSON: strings escape every control byte, so line feeds and
    // their indentation are layout only.
    std::string out;
    for (size_t i = first; i < printed.size(); ++i) {
      if (printed[i] == '\n') {
        while (i + 1 < printed.size() && printed[i + 1] == ' ') ++i;
        continue;
      }
      out += printed[i];
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
  }
  const auto lines = Lines(printed);
  const bool pairs = std::all_of(lines.begin(), lines.end(), [](const std::string& l) {
    const auto colon = l.find(": ");
    return colon != std::string::npos && colon > 0 && l.find_first_of(" \t") >= colon;
  });
  std::string out = pairs ? "{" : "[";
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) out += ", ";
    if (pairs) {
      const auto colon = lines[i].find(": ");
      out += JsonString(lines[i].substr(0, colon)) + ": " + JsonString(DisplayText(lines[i].substr(colon + 2)));
    } else {
      out += JsonString(DisplayText(lines[i]));
    }
  }
  return out + (pairs ? "}" : "]");
}

int RunOnSeveralDevices(const std::vector<std::string>& ports, const SeveralDevicesReport& report,
                        const DeviceCommand& command) {
  if (ports.empty()) throw UsageError("no device given: give --port PATH (once for each device) or --all");
  for (size_t i = 0; i < ports.size(); ++i)
    if (std::find(ports.begin(), ports.begin() + static_cast<long>(i), ports[i]) != ports.begin() + static_cast<long>(i))
      throw UsageError("the port " + ports[i] + " is given twice; give each device once");
  const std::vector<std::string> tags = PortTags(ports);
  std::mutex outMutex;
  int worst = 0;
  const auto runOne = [&](size_t i) {
    std::ostringstream out, note;
    Outcome o;
    try {
      o.code = command(DeviceJob{ports[i], tags[i], out, note});
      o.notes = Lines(note.str());
      // The last line is the result ("Saved ..."); those before it stay.
      if (!o.notes.empty()) {
        o.message = o.notes.back();
        o.notes.pop_back();
      }
    } catch (const DeviceError& e) {
      o.notes = Lines(note.str());
      o.code = e.Kind() == ErrorKind::kCancelled ? TerminalHost::CancelledExitCode() : ExitCode(e.Kind());
      o.message = e.what();
      o.detail = e.Detail();
    } catch (const std::exception& e) {
      o.notes = Lines(note.str());
      o.code = ExitCode(ErrorKind::kFailed);
      o.message = e.what();
    }
    const std::string text =
        report.json ? JsonReport(ports[i], report.kind, out.str(), o) : TextReport(ports[i], out.str(), o);
    std::lock_guard lock(outMutex);
    worst = WorseExitCode(worst, o.code);
    std::cout << text << std::flush;
  };
  std::vector<std::thread> threads;
  try {
    for (size_t i = 0; i < ports.size(); ++i) threads.emplace_back(runOne, i);
  } catch (...) {
    for (auto& t : threads) t.join();
    throw;
  }
  for (auto& t : threads) t.join();
  return worst;
}

std::vector<std::string> FindAllDevices(bool quillon, const std::string& baud) {
  std::vector<std::string> ports = Lines(ListSerialPorts());
  // The order "Auto" tries them in.
  std::stable_sort(ports.begin(), ports.end(), [](const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
      return std::tolower(x) < std::tolower(y);
    });
  });
  std::vector<char> found(ports.size(), 0);
  std::vector<std::string> trouble(ports.size());
  const auto probe = [&](size_t i) {
    try {
      TerminalHost host(ProgressMode::kNone, false);
      host.SetDeviceLabel(ports[i]);
      LogModel log;
      DeviceWorker worker(host, log);
      worker.Session().IsQuillon = quillon;
      const int rate = !baud.empty() ? ParseBaudRate(baud) : (quillon ? 115200 : 9600);
      worker.Call([&](DeviceSession& s) { found[i] = s.Connect(LinkTarget::Serial(ports[i], rate)).connected ? 1 : 0; });
    } catch (const DeviceError& e) {
      trouble[i] = e.Detail();
    } catch (const std::exception&) {
      // no device there
    }
  };
  std::vector<std::thread> threads;
  try {
    for (size_t i = 0; i < ports.size(); ++i) threads.emplace_back(probe, i);
  } catch (...) {
    for (auto& t : threads) t.join();
    throw;
  }
  for (auto& t : threads) t.join();
  std::vector<std::string> devices;
  std::string reasons;
  for (size_t i = 0; i < ports.size(); ++i) {
    if (found[i]) devices.push_back(ports[i]);
    if (!trouble[i].empty()) reasons += "\n" + trouble[i];
  }
  if (devices.empty())
    throw DeviceError(ErrorKind::kNoConnection, kNoDeviceDetectedText,
                      reasons.empty() ? std::string() : reasons.substr(1));
  return devices;
}

}  // namespace corvane::cli
