#pragma once
// The emulated device's file system: a local folder served byte for byte,
// the Tallis object header, listings and the Tallis command lines.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "link/bytes.h"

namespace corvane::emu {

namespace fs = std::filesystem;

// ---- names and paths ----

// A device name is usable as one local file name when it is not empty, not
// "." or "..", and holds no '/' and no NUL. Any 8-bit byte else is kept.
bool IsSafeName(const Bytes& name);

// Resolves a device path against the current folder (both relative to the
// root; the root is the empty path). "\\a\\b\\" and "\\a\\b" start at the root,
// "a\\b" at `current`. Empty components (runs of backslashes) are skipped.
// Returns nothing when a component is unsafe: the result never leaves the root.
std::optional<fs::path> ResolveDevicePath(const fs::path& current, const Bytes& devicePath);

// The device path of a folder relative to the root: "\\" for the root,
// "\\a\\b\\" below it.
Bytes DevicePathOf(const fs::path& relative);

// ---- Tallis objects ----
//
// A Tallis variable is kept on the host as a file that starts with a 9-byte
// object header, then the object's body:
//   5 bytes  "CVOBJ"
//   4 bytes  body length, least significant byte first
// The listing gives the body size (in nibbles, twice the bytes); a get sends
// the whole host file, which is the listed size + 9 bytes the PC expects.
//
// A plain file dropped into the served folder (no header) is served as an
// object whose body is the whole file: it is listed with its own size, and a
// get sends a header made up on the fly followed by the file, so what the PC
// receives is again listed size + 9 bytes and can be put back unchanged.
inline constexpr size_t kTallisHeaderSize = 9;
inline constexpr char kTallisMagic[5] = {'C', 'V', 'O', 'B', 'J'};

Bytes MakeTallisHeader(uint32_t bodyLength);
// The body length of a header, or nothing when `head` (at least 9 bytes) is
// not a header.
std::optional<uint32_t> ParseTallisHeader(const Bytes& head);

// What the PC receives for a get and what the listing says of one host file.
struct ServedFile {
  Bytes prefix;        // a made-up header for a plain Tallis file, else empty
  uint64_t fileSize = 0;
  uint64_t listedSize = 0;  // the size in bytes the listing reports
  uint64_t Total() const { return prefix.size() + fileSize; }
};
ServedFile DescribeFile(const fs::path& file, bool tallis);

// The length a received Tallis file is cut to: with a header whose length
// fits, header + body (the padding of the last block is dropped); without a
// header every byte received is kept.
uint64_t TallisReceivedLength(const Bytes& head, uint64_t received);

// ---- listings ----

struct FolderEntry {
  Bytes name;
  bool directory = false;
  uint64_t size = 0;  // listed size in bytes
};
// The entries of a folder, sorted by name (bytewise). Entries whose names the
// device cannot carry (longer than 255 bytes) are left out.
std::vector<FolderEntry> ReadFolder(const fs::path& folder, bool tallis);

// The listing payload in the record layout of the kind. When `cap` is not 0
// the payload holds only the whole records that fit in `cap` bytes;
// `*omitted` (if given) is set to the number of entries left out.
Bytes EncodeListing(const std::vector<FolderEntry>& entries, bool tallis, size_t cap = 0, size_t* omitted = nullptr);

// ---- Tallis command lines (the 'E' command) ----

struct TallisLine {
  enum Kind { kUnknown, kHome, kPurge, kRename } kind = kUnknown;
  std::vector<Bytes> folders;  // kHome: the folder names after HOME
  Bytes name;                  // kPurge: the name; kRename: the old name
  Bytes newName;               // kRename
};
// Understands exactly three forms:
//   "HOME a b "                              (HOME, then folder names, blank separated)
//   "'NAME' PURGE"
//   "'OLD' DUP RCL SWAP PURGE'NEW' STO"
// Anything else is kUnknown.
TallisLine ParseTallisLine(const Bytes& line);

}  // namespace corvane::emu
