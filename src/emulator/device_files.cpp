#include "emulator/device_files.h"

#include <algorithm>
#include <fstream>
#include <system_error>

#include "protocol/listing.h"

namespace corvane::emu {

bool IsSafeName(const Bytes& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find('/') == Bytes::npos && name.find('\0') == Bytes::npos;
}

std::optional<fs::path> ResolveDevicePath(const fs::path& current, const Bytes& devicePath) {
  fs::path result = (!devicePath.empty() && devicePath[0] == '\\') ? fs::path() : current;
  size_t pos = 0;
  while (pos <= devicePath.size()) {
    size_t end = devicePath.find('\\', pos);
    if (end == Bytes::npos) end = devicePath.size();
    const Bytes part = devicePath.substr(pos, end - pos);
    if (!part.empty()) {
      if (!IsSafeName(part)) return std::nullopt;
      result /= part;
    }
    pos = end + 1;
  }
  return result;
}

Bytes DevicePathOf(const fs::path& relative) {
  Bytes out = "\\";
  for (const auto& part : relative) {
    const Bytes p = part.string();
    if (p.empty()) continue;
    out += p;
    out += '\\';
  }
  return out;
}

Bytes MakeTallisHeader(uint32_t bodyLength) {
  Bytes h(kTallisMagic, sizeof kTallisMagic);
  h += IntToBytes(static_cast<int32_t>(bodyLength));
  return h;
}

std::optional<uint32_t> ParseTallisHeader(const Bytes& head) {
  if (head.size() < kTallisHeaderSize) return std::nullopt;
  if (!std::equal(kTallisMagic, kTallisMagic + sizeof kTallisMagic, head.begin())) return std::nullopt;
  return ReadLe32(head.data() + sizeof kTallisMagic);
}

namespace {

Bytes ReadHead(const fs::path& file, size_t n) {
  std::ifstream in(file, std::ios::binary);
  Bytes head(n, '\0');
  in.read(head.data(), static_cast<std::streamsize>(n));
  head.resize(static_cast<size_t>(in.gcount()));
  return head;
}

}  // namespace

ServedFile DescribeFile(const fs::path& file, bool tallis) {
  ServedFile s;
  std::error_code ec;
  s.fileSize = fs::file_size(file, ec);
  if (ec) s.fileSize = 0;
  s.listedSize = s.fileSize;
  if (!tallis) return s;
  const auto body = ParseTallisHeader(ReadHead(file, kTallisHeaderSize));
  if (body && uint64_t{*body} + kTallisHeaderSize == s.fileSize) {
    s.listedSize = *body;
  } else {
    // Plain file, or a header that does not match the file: serve the whole
    // file as the body of an object.
    s.prefix = MakeTallisHeader(static_cast<uint32_t>(std::min<uint64_t>(s.fileSize, UINT32_MAX)));
  }
  return s;
}

uint64_t TallisReceivedLength(const Bytes& head, uint64_t received) {
  const auto body = ParseTallisHeader(head);
  if (body && uint64_t{*body} + kTallisHeaderSize <= received) return uint64_t{*body} + kTallisHeaderSize;
  return received;
}

std::vector<FolderEntry> ReadFolder(const fs::path& folder, bool tallis) {
  std::vector<FolderEntry> out;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    FolderEntry e;
    e.name = it->path().filename().string();
    if (e.name.size() > 255) continue;
    // Our own unfinished uploads are not the device's files.
    if (e.name.rfind(".corvane-emu-", 0) == 0) continue;
    std::error_code tec;
    e.directory = it->is_directory(tec);
    if (!e.directory) {
      if (!it->is_regular_file(tec)) continue;
      e.size = DescribeFile(it->path(), tallis).listedSize;
    }
    out.push_back(std::move(e));
  }
  std::sort(out.begin(), out.end(), [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  return out;
}

Bytes EncodeListing(const std::vector<FolderEntry>& entries, bool tallis, size_t cap, size_t* omitted) {
  Bytes payload;
  size_t left = 0;
  for (const auto& e : entries) {
    Bytes record;
    if (tallis) {
      const uint64_t nibbles = std::min<uint64_t>(e.size * 2, 0xFFFFFF);
      record = EncodeTallisRecord(e.name, e.directory ? kTallisTypeDirectory : kTallisTypeFile,
                                  e.directory ? 0 : static_cast<uint32_t>(nibbles));
    } else {
      record = EncodeQuillonRecord(e.name, static_cast<uint32_t>(std::min<uint64_t>(e.size, UINT32_MAX)), e.directory);
    }
    if (cap != 0 && payload.size() + record.size() > cap) {
      ++left;
      continue;
    }
    payload += record;
  }
  if (omitted) *omitted = left;
  return payload;
}

namespace {

bool StartsWith(const Bytes& s, const Bytes& p) { return s.size() >= p.size() && s.compare(0, p.size(), p) == 0; }
bool EndsWith(const Bytes& s, const Bytes& p) {
  return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}

}  // namespace

TallisLine ParseTallisLine(const Bytes& line) {
  TallisLine t;
  if (StartsWith(line, "HOME") && (line.size() == 4 || line[4] == ' ')) {
    t.kind = TallisLine::kHome;
    size_t pos = 4;
    while (pos < line.size()) {
      if (line[pos] == ' ') {
        ++pos;
        continue;
      }
      const size_t end = std::min(line.find(' ', pos), line.size());
      t.folders.push_back(line.substr(pos, end - pos));
      pos = end;
    }
    return t;
  }
  static const Bytes kPurge = "' PURGE";
  static const Bytes kRenameMid = "' DUP RCL SWAP PURGE'";
  static const Bytes kRenameEnd = "' STO";
  if (!StartsWith(line, "'")) return t;
  const size_t mid = line.find(kRenameMid);
  if (mid != Bytes::npos && EndsWith(line, kRenameEnd) && mid + kRenameMid.size() <= line.size() - kRenameEnd.size()) {
    Bytes oldName = line.substr(1, mid - 1);
    Bytes newName = line.substr(mid + kRenameMid.size(), line.size() - kRenameEnd.size() - mid - kRenameMid.size());
    if (oldName.empty() || newName.empty() || oldName.find('\'') != Bytes::npos || newName.find('\'') != Bytes::npos)
      return t;
    t.kind = TallisLine::kRename;
    t.name = std::move(oldName);
    t.newName = std::move(newName);
    return t;
  }
  if (EndsWith(line, kPurge) && line.size() > kPurge.size() + 1) {
    Bytes name = line.substr(1, line.size() - kPurge.size() - 1);
    if (name.find('\'') != Bytes::npos) return t;
    t.kind = TallisLine::kPurge;
    t.name = std::move(name);
  }
  return t;
}

}  // namespace corvane::emu
