#pragma once
// Text handling of the corvane tool: device paths typed by the user, and the
// forms in which entries are printed.
#include <stdexcept>
#include <string>
#include <utility>

#include "link/bytes.h"

namespace corvane::cli {

// Failures of the tool itself (bad arguments, local files), shown as they are.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// "a/b\\c" (UTF-8) -> "\\a\\b\\c" (8-bit): either separator, runs collapsed,
// the root is "\\". Raises UsageError when a character does not fit 8 bits.
Bytes DevicePath(const std::string& utf8);
// The folder and the last name of a device path; UsageError for the root.
std::pair<Bytes, Bytes> SplitDevicePath(const std::string& utf8);
// "dir", "file" or "object" by entry kind.
const char* KindWord(int kind);
// A JSON string literal of UTF-8 text.
std::string JsonString(const std::string& utf8);
// Multi-line report texts ("1/40 Kbytes\r\n(2%)\r\n...") on one line.
std::string OneLine(const std::string& text);

// Text for the terminal: device names are 8-bit Latin-1 while local paths
// are UTF-8, and messages mix both. Valid UTF-8 is shown as it is; anything
// else is taken as Latin-1.
std::string DisplayText(const std::string& text);

}  // namespace corvane::cli
