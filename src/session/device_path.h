#pragma once
// A path on the device: a run of names from the root, written with
// backslashes ("\\a\\b"). Paths from the device and from the kit's own code
// use backslashes only; what a user types may use '/' as well. Empty names
// (runs of separators, a leading or trailing one) are dropped, so every
// spelling of one folder gives one path.
#include <string>
#include <vector>

#include "link/bytes.h"

namespace corvane {

class DevicePath {
 public:
  DevicePath() : m_path("\\") {}  // the root

  // A path as the device and the kit spell it: backslashes between names,
  // the leading one optional. "" and "\\" are the root.
  static DevicePath Parse(const Bytes& path);
  // A path a user typed, in 8-bit device characters: '\\' or '/' between names.
  static DevicePath ParseUserText(const Bytes& latin1);

  bool IsRoot() const { return m_path.size() == 1; }
  // "\\a\\b"; the root is "\\".
  const Bytes& Canonical() const { return m_path; }
  // The form a change of folder sends: "\\a\\b\\"; the root is "\\".
  Bytes FolderForm() const { return IsRoot() ? m_path : m_path + "\\"; }
  // "/a/b" in UTF-8, for messages; the root is "/".
  std::string Shown() const;
  // The names from the root down; none for the root.
  std::vector<Bytes> Names() const;
  // The last name; empty for the root.
  Bytes Name() const;
  // The folder that holds it; the root's parent is the root.
  DevicePath Parent() const;
  // The entry `name` in this folder. A name holding backslashes goes down
  // as many folders.
  DevicePath Join(const Bytes& name) const;

  friend bool operator==(const DevicePath& a, const DevicePath& b) { return a.m_path == b.m_path; }
  friend bool operator<(const DevicePath& a, const DevicePath& b) { return a.m_path < b.m_path; }

 private:
  explicit DevicePath(Bytes canonical) : m_path(std::move(canonical)) {}
  static DevicePath FromText(const Bytes& text, bool slashToo);
  Bytes m_path;
};

// The longest Tallis name: a listing gives a name's length in one byte.
inline constexpr size_t kMaxTallisNameLength = 255;
// Why `name` cannot be sent to a device of the kind, as a message that says
// what to do; empty when it can. A Tallis name goes between quotes into a
// command line of the device's stack language ("'NAME' PURGE"), a folder name
// unquoted into "HOME a b ": it must have 1 to 255 bytes and no quote, blank
// or control byte, or the line would not carry it as one name. A Quillon name
// goes in a packet, which a NUL would cut short.
std::string RefusedNameMessage(const Bytes& name, bool quillon);
// The same for a folder path: a Quillon takes it whole in one packet, a
// Tallis folder by folder in its "HOME" line. Empty when it can be sent.
std::string RefusedFolderMessage(const Bytes& path, bool quillon);
// A device name (8-bit) as messages show it: its control bytes (below 0x20,
// 0x7F, and 0x80 to 0x9F) as \xNN, the other bytes as they are.
std::string ShownName(const Bytes& name);

}  // namespace corvane
