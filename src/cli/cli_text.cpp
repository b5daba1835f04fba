#include "cli/cli_text.h"

#include <cstdio>

#include "desktop/local_files.h"
#include "protocol/listing.h"
#include "session/device_session.h"

namespace corvane::cli {

Bytes DevicePath(const std::string& utf8) {
  std::string latin1;
  if (!Utf8ToLatin1(utf8, latin1)) throw UsageError("'" + utf8 + "' cannot be written in the device's 8-bit names");
  for (char& c : latin1)
    if (c == '/') c = '\\';
  const Bytes norm = NormaliseDevicePath("\\" + latin1);  // always ends in one backslash
  return norm.size() == 1 ? norm : norm.substr(0, norm.size() - 1);
}

std::pair<Bytes, Bytes> SplitDevicePath(const std::string& utf8) {
  const Bytes path = DevicePath(utf8);
  const size_t slash = path.rfind('\\');
  const Bytes name = path.substr(slash + 1);
  if (name.empty()) throw UsageError("'" + utf8 + "' names a folder, not an entry");
  return {slash == 0 ? Bytes("\\") : path.substr(0, slash), name};
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
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') {
      if (!out.empty() && out.back() != ' ') out += ' ';
      continue;
    }
    out += c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string DisplayText(const std::string& text) {
  std::string ignored;
  // Utf8ToLatin1 fails on invalid UTF-8 and on characters above U+00FF; the
  // latter are valid UTF-8 too, so check validity on its own.
  size_t i = 0;
  bool valid = true;
  while (i < text.size() && valid) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > text.size()) valid = false;
    for (size_t k = 1; valid && k < len; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) valid = false;
    i += len;
  }
  return valid ? text : Latin1ToUtf8(text);
}

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
         "  3    no device or connection error (no such port, nothing found by detection)\n"
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
