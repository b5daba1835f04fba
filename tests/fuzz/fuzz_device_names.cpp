// Text from the device (names in listings, the version reply) on its way to
// the user and to local files:
//  - 8-bit names become UTF-8 and convert back to the same bytes;
//  - a name's local file name is one safe path component;
//  - the tool's terminal and JSON forms are well-formed whatever the bytes,
//    and what reaches the terminal holds no control byte.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/cli_text.h"
#include "desktop/local_files.h"

namespace {

// Lead and continuation bytes in the right places (the shape of UTF-8).
bool WellFormedUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    const size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += len;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  // Latin-1 to UTF-8 and back.
  const std::string utf8 = corvane::Latin1ToUtf8(bytes);
  std::string back;
  if (!corvane::Utf8ToLatin1(utf8, back) || back != bytes) __builtin_trap();
  if (!WellFormedUtf8(utf8)) __builtin_trap();
  // Text that converts to Latin-1 converts back to itself.
  std::string latin1;
  if (corvane::Utf8ToLatin1(bytes, latin1) && corvane::Latin1ToUtf8(latin1) != bytes) __builtin_trap();

  // One safe local path component.
  const std::string local = corvane::SafeLocalName(bytes);
  if (local.empty() || local == "." || local == ".." || local.size() > 255) __builtin_trap();
  for (unsigned char c : local)
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F) __builtin_trap();
  if (!WellFormedUtf8(local)) __builtin_trap();

  // What the tool prints.
  const std::string shown = corvane::cli::DisplayText(bytes);
  if (!WellFormedUtf8(shown)) __builtin_trap();
  const std::string json = corvane::cli::JsonString(shown);
  if (json.size() < 2 || json.front() != '"' || json.back() != '"') __builtin_trap();
  for (size_t i = 1; i + 1 < json.size(); ++i) {
    const auto c = static_cast<unsigned char>(json[i]);
    if (c < 0x20) __builtin_trap();
    if (c == '\\') ++i;  // the escaped byte
    else if (c == '"') __builtin_trap();
  }
  // One line joins the lines of a message; a carriage return that ends no
  // line stays for the terminal form, which shows every control byte as \xNN.
  const std::string line = corvane::cli::OneLine(bytes);
  if (line.find('\n') != std::string::npos) __builtin_trap();
  const std::string onTerminal = corvane::cli::TerminalText(line);
  for (unsigned char c : onTerminal)
    if (c < 0x20 || c == 0x7F) __builtin_trap();
  return 0;
}
