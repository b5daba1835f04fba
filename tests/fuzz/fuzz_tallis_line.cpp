// Tallis command lines, both ends: the PC's "HOME" line for any device path,
// and the emulated device's reading of any line.
//  - The HOME line of a path reads back as HOME with the path's folder names,
//    in order, whenever no name holds a blank.
//  - Whatever line arrives, what the device reads from it could have been
//    written by the PC: folder names without blanks, purge and rename names
//    without quotes; and writing those back gives the same reading.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "emulator/device_files.h"
#include "session/device_session.h"

namespace {

using corvane::Bytes;
using corvane::emu::ParseTallisLine;
using corvane::emu::TallisLine;

std::vector<Bytes> FolderNames(const Bytes& path) {
  std::vector<Bytes> names;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t end = path.find('\\', pos);
    if (end == Bytes::npos) end = path.size();
    if (end > pos) names.push_back(path.substr(pos, end - pos));
    pos = end + 1;
  }
  return names;
}

void CheckHomeLine(const Bytes& path) {
  const Bytes line = corvane::TallisHomeLine(path);
  if (line.compare(0, 5, "HOME ") != 0 || line.back() != ' ') __builtin_trap();
  const TallisLine t = ParseTallisLine(line);
  if (t.kind != TallisLine::kHome) __builtin_trap();
  const std::vector<Bytes> names = FolderNames(path);
  bool blank = false;
  for (const auto& n : names) blank = blank || n.find(' ') != Bytes::npos;
  if (!blank && t.folders != names) __builtin_trap();
}

void CheckReading(const Bytes& line) {
  const TallisLine t = ParseTallisLine(line);
  switch (t.kind) {
    case TallisLine::kHome: {
      Bytes again = "HOME ";
      for (const auto& f : t.folders) {
        if (f.empty() || f.find(' ') != Bytes::npos) __builtin_trap();
        again += f + " ";
      }
      if (ParseTallisLine(again).folders != t.folders) __builtin_trap();
      break;
    }
    case TallisLine::kPurge: {
      if (t.name.empty() || t.name.find('\'') != Bytes::npos) __builtin_trap();
      const TallisLine again = ParseTallisLine("'" + t.name + "' PURGE");
      if (again.kind != TallisLine::kPurge || again.name != t.name) __builtin_trap();
      break;
    }
    case TallisLine::kRename: {
      if (t.name.empty() || t.newName.empty() || t.name.find('\'') != Bytes::npos ||
          t.newName.find('\'') != Bytes::npos)
        __builtin_trap();
      const TallisLine again = ParseTallisLine("'" + t.name + "' DUP RCL SWAP PURGE'" + t.newName + "' STO");
      if (again.kind != TallisLine::kRename || again.name != t.name || again.newName != t.newName) __builtin_trap();
      break;
    }
    case TallisLine::kUnknown:
      if (!t.folders.empty() || !t.name.empty() || !t.newName.empty()) __builtin_trap();
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Bytes input(reinterpret_cast<const char*>(data), size);
  CheckHomeLine(input);
  CheckReading(input);
  return 0;
}
