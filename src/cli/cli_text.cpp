#include "cli/cli_text.h"

#include <cstdio>

#include "desktop/local_files.h"
#include "protocol/listing.h"
#include "session/device_session.h"

namespace corvane::cli {

Bytes UserDevicePath(const std::string& utf8) {
  std::string latin1;
  if (!Utf8ToLatin1(utf8, latin1)) throw UsageError("'" + utf8 + "' cannot be written in the device's 8-bit names");
  return DevicePath::ParseUserText(latin1).Canonical();
}

std::pair<Bytes, Bytes> SplitDevicePath(const std::string& utf8) {
  const DevicePath path = DevicePath::Parse(UserDevicePath(utf8));
  if (path.IsRoot()) throw UsageError("'" + utf8 + "' names a folder, not an entry");
  return {path.Parent().Canonical(), path.Name()};
}

const char* KindWord(int kind) {
  switch (kind) {
    case kKindDirectory: return "dir";
    case kKindTallisObject: return "object";
    default: return "file";
  }
}

std::string OneLine(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (c == '\n') {
      if (!out.empty() && out.back() != ' ') out += ' ';
      continue;
    }
    out += c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

namespace {

// Utf8ToLatin1 fails on invalid UTF-8 and on characters above U+00FF; the
// latter are valid UTF-8 too, so validity is checked on its own.
bool IsUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > text.size()) return false;
    for (size_t k = 1; k < len; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += len;
  }
  return true;
}

}  // namespace

std::string DisplayText(const std::string& text) { return IsUtf8(text) ? text : Latin1ToUtf8(text); }

std::string TerminalText(const std::string& text) {
  if (!IsUtf8(text)) return Latin1ToUtf8(ShownName(text));
  // In UTF-8 the C0 controls and DEL are single bytes, and the C1 controls
  // U+0080..U+009F are 0xC2 followed by the Latin-1 byte.
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      out += ShownName(Bytes(1, text[++i]));
    } else if (c < 0x80) {
      out += ShownName(Bytes(1, text[i]));
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string TerminalName(const Bytes& name) { return Latin1ToUtf8(ShownName(name)); }

int ExitCode(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kFailed: return 1;
    case ErrorKind::kBusy: return 1;
    case ErrorKind::kUsage: return 2;
    case ErrorKind::kNoConnection: return 3;
    case ErrorKind::kLocalFile: return 4;
    case ErrorKind::kCancelled: return 130;
  }
  return 1;
}

const char* ExitCodeTable() {
  return "Exit status:\n"
         "  0    success\n"
         "  1    the operation failed (the transfer failed, the device refused, or it was busy)\n"
         "  2    usage error (bad command line or argument)\n"
         "  3    no device or connection error (no such port, nothing found by detection, a link that broke)\n"
         "  4    local file error (a file on this computer cannot be read or written; nothing was sent)\n"
         "  130  cancelled (Ctrl-C)\n"
         "  143  cancelled by SIGTERM, as by Ctrl-C\n"
         "  129  cancelled by SIGHUP (the terminal closed), as by Ctrl-C\n";
}

std::optional<ProgressMode> ParseProgressMode(const std::string& word) {
  if (word == "bar") return ProgressMode::kBar;
  if (word == "lines") return ProgressMode::kLines;
  if (word == "json") return ProgressMode::kJson;
  if (word == "none") return ProgressMode::kNone;
  return std::nullopt;
}

const char* ReportKindName(int kind) {
  switch (kind) {
    case kReportMessage: return "message";
    case kReportStatus: return "status";
    case kReportProgress: return "progress";
    case kReportFinished: return "finished";
    case kReportCancelSwitch: return "cancel-switch";
    default: return "message";
  }
}

std::string ReportJson(const Report& report) {
  std::string out = "{\"kind\": \"";
  out += ReportKindName(report.kind);
  out += "\", \"phase\": \"";
  out += TransferPhaseName(report.phase);
  out += "\", \"done\": " + std::to_string(report.done);
  out += ", \"total\": " + std::to_string(report.total);
  out += ", \"elapsed_ms\": " + std::to_string(report.elapsedMs);
  // A progress report's standard text only repeats the numbers.
  if (report.kind != kReportProgress || !report.text.empty())
    out += ", \"text\": " + JsonString(DisplayText(report.text));
  return out + "}";
}

}  // namespace corvane::cli
