#pragma once
// The tool's commands on whole folders and whole devices: get -r, put of a
// local folder, backup and restore.
#include <functional>
#include <ostream>
#include <string>

namespace corvane {
class DeviceSession;
}

namespace corvane::cli {

// Connects as the options say and runs `op` on the device thread, with
// Ctrl-C as the transfer dialog's Cancel; raises what it raised. The
// commands' own lines go to `note` (stderr, or a device's lines when the
// command runs on several devices).
using DeviceRun = std::function<void(const std::function<void(DeviceSession&)>& op)>;

// corvane get -r DEVICE_FOLDER [LOCAL]
int GetTree(const DeviceRun& run, std::ostream& note, const std::string& deviceFolder, const std::string& local);
// corvane put LOCAL DEVICE_FOLDER, LOCAL a folder (or a file)
int PutTree(const DeviceRun& run, std::ostream& note, const std::string& local, const std::string& deviceFolder);
// corvane backup DEST
int Backup(const DeviceRun& run, std::ostream& note, const std::string& dest);
// corvane restore DEST [DEVICE_FOLDER]
int Restore(const DeviceRun& run, std::ostream& note, const std::string& dest, const std::string& deviceFolder);

}  // namespace corvane::cli
