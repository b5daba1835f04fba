#pragma once
// Text handling of the corvane tool: device paths typed by the user, and the
// forms in which entries are printed.
#include <optional>
#include <string>
#include <utility>

#include "desktop/json_text.h"
#include "link/bytes.h"
#include "link/link_error.h"
#include "protocol/report.h"

namespace corvane::cli {

// A request the tool cannot carry out as given (bad arguments), shown as it is.
struct UsageError : DeviceError {
  explicit UsageError(const std::string& message) : DeviceError(ErrorKind::kUsage, message) {}
};

// The exit status of each outcome: 0 success, 1 failed (also busy), 2 usage,
// 3 no device or connection, 4 local file, 130 cancelled (143 and 129 when
// SIGTERM or SIGHUP cancelled: TerminalHost::CancelledExitCode).
int ExitCode(ErrorKind kind);
// The table of exit statuses, for --help.
const char* ExitCodeTable();

// How transfer reports are shown on stderr.
enum class ProgressMode { kBar, kLines, kJson, kNone };
// "bar", "lines", "json" or "none"; nothing for anything else.
std::optional<ProgressMode> ParseProgressMode(const std::string& word);
// "message", "status", "progress", "finished", "cancel-switch".
const char* ReportKindName(int kind);
// One report as a JSON object on one line (no line feed): kind, phase, done,
// total, elapsed_ms, and text unless it is a progress report's standard text.
std::string ReportJson(const Report& report);

// "a/b\\c" (UTF-8) -> "\\a\\b\\c" (8-bit): either separator, runs collapsed,
// the root is "\\". Raises UsageError when a character does not fit 8 bits.
Bytes UserDevicePath(const std::string& utf8);
// The folder and the last name of a device path; UsageError for the root.
std::pair<Bytes, Bytes> SplitDevicePath(const std::string& utf8);
// "dir", "file" or "object" by entry kind.
const char* KindWord(int kind);
// A JSON string literal of UTF-8 text.
using corvane::JsonString;
// Multi-line report texts ("1/40 Kbytes\r\n(2%)\r\n...") on one line. A
// carriage return that ends no line is kept (TerminalText shows it).
std::string OneLine(const std::string& text);

// Text for the terminal: device names are 8-bit Latin-1 while local paths
// are UTF-8, and messages mix both. Valid UTF-8 is shown as it is; anything
// else is taken as Latin-1.
std::string DisplayText(const std::string& text);
// DisplayText for a terminal: every control character (C0 and C1, DEL; also
// tab, line feed and carriage return) as \xNN, as ShownName shows device
// names, so that no name can move the cursor, set the title or forge a line.
// What it returns holds no control character, so it may be given again.
std::string TerminalText(const std::string& text);
// `name` (8-bit) as it goes in a line for the terminal: TerminalText of it.
std::string TerminalName(const Bytes& name);

}  // namespace corvane::cli
