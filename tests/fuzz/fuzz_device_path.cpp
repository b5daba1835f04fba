// Device paths, both ends.
//  - The corvane tool's path of any UTF-8 text: begins with one backslash,
//    never holds two in a row, ends in none (but the root); it is its own
//    path again; and splitting it into folder and name then joining them
//    gives it back.
//  - The path type of any bytes, as the device spells it and as a user
//    types it: its canonical form is a tool path as above, parses to itself,
//    keeps every name (none empty, none holding a separator), and its parent
//    joined with its name gives it back.
//  - The emulated device's resolution of any path the PC sends: never climbs
//    out of the served folder, and the device path of the result resolves to
//    the same place.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "cli/cli_text.h"
#include "desktop/local_files.h"
#include "emulator/device_files.h"
#include "session/device_path.h"

namespace {

using corvane::Bytes;

void CheckToolPath(const std::string& utf8) {
  Bytes path;
  try {
    path = corvane::cli::UserDevicePath(utf8);
  } catch (const corvane::cli::UsageError&) {
    std::string latin1;
    if (corvane::Utf8ToLatin1(utf8, latin1)) __builtin_trap();  // refused although it fits
    return;
  }
  if (path.empty() || path[0] != '\\' || path.find("\\\\") != Bytes::npos) __builtin_trap();
  if (path.size() > 1 && path.back() == '\\') __builtin_trap();
  if (corvane::cli::UserDevicePath(corvane::Latin1ToUtf8(path)) != path) __builtin_trap();

  try {
    const auto [folder, name] = corvane::cli::SplitDevicePath(utf8);
    if (name.empty() || name.find('\\') != Bytes::npos) __builtin_trap();
    if (folder.empty() || folder[0] != '\\') __builtin_trap();
    const Bytes joined = folder == "\\" ? folder + name : folder + "\\" + name;
    if (joined != path) __builtin_trap();
  } catch (const corvane::cli::UsageError&) {
    if (path != "\\") __builtin_trap();  // only the root has no name
  }
}

void CheckPathType(const Bytes& text, bool userText) {
  using corvane::DevicePath;
  const DevicePath path = userText ? DevicePath::ParseUserText(text) : DevicePath::Parse(text);
  const Bytes& canonical = path.Canonical();
  if (canonical.empty() || canonical[0] != '\\' || canonical.find("\\\\") != Bytes::npos) __builtin_trap();
  if (!path.IsRoot() && canonical.back() == '\\') __builtin_trap();
  if (!(DevicePath::Parse(canonical) == path)) __builtin_trap();
  if (path.FolderForm() != (path.IsRoot() ? canonical : canonical + "\\")) __builtin_trap();
  Bytes rebuilt;
  for (const Bytes& name : path.Names()) {
    if (name.empty() || name.find('\\') != Bytes::npos || (userText && name.find('/') != Bytes::npos))
      __builtin_trap();
    rebuilt += "\\" + name;
  }
  if ((rebuilt.empty() ? Bytes("\\") : rebuilt) != canonical) __builtin_trap();
  if (path.IsRoot()) {
    if (!(path.Parent() == path) || !path.Name().empty()) __builtin_trap();
  } else if (!(path.Parent().Join(path.Name()) == path)) {
    __builtin_trap();
  }
}

void CheckDeviceResolution(const Bytes& devicePath) {
  namespace fs = std::filesystem;
  const fs::path current = "cur/dir";
  const auto resolved = corvane::emu::ResolveDevicePath(current, devicePath);
  if (!resolved) return;
  if (resolved->is_absolute()) __builtin_trap();
  for (const auto& part : *resolved)
    if (part == ".." || part == "." || part.empty()) __builtin_trap();
  const auto again = corvane::emu::ResolveDevicePath(current, corvane::emu::DevicePathOf(*resolved));
  if (!again || *again != *resolved) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  CheckToolPath(input);
  CheckPathType(input, false);
  CheckPathType(input, true);
  CheckDeviceResolution(input);
  return 0;
}
