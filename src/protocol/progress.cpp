#include "protocol/progress.h"

#include <algorithm>

namespace corvane {

std::string FormatProgressText(int64_t done, int64_t total, uint64_t elapsedSeconds) {
  // All of it in 64 bits: done * 100 leaves 32 bits behind at about 20 MiB.
  done = std::max<int64_t>(done, 0);
  const int64_t percent = total > 0 ? done * 100 / total : 0;
  const uint64_t rate = static_cast<uint64_t>(done) / (elapsedSeconds + 1) / 1024;
  std::string text;
  text.reserve(64);
  text += std::to_string(done / 1024);
  text += '/';
  text += std::to_string(total > 0 ? total / 1024 : 0);
  text += " Kbytes\r\n(";
  text += std::to_string(percent);
  text += "%)\r\n";
  text += std::to_string(rate);
  text += " Kbyte/s";
  return text;
}

Report TextReport(ReportKind kind, std::string text) {
  Report r;
  r.kind = kind;
  r.text = std::move(text);
  return r;
}

Report ProgressReport(TransferPhase phase, int64_t done, int64_t total, uint64_t elapsedMs) {
  Report r;
  r.kind = kReportProgress;
  r.phase = phase;
  r.total = std::max<int64_t>(total, 0);
  r.done = std::clamp<int64_t>(done, 0, r.total);
  r.elapsedMs = elapsedMs;
  return r;
}

const char* TransferPhaseName(TransferPhase phase) {
  switch (phase) {
    case TransferPhase::kReceiving: return "receive";
    case TransferPhase::kSending: return "send";
    case TransferPhase::kErasing: return "erase";
    case TransferPhase::kUpgrading: return "upgrade";
    case TransferPhase::kNone: break;
  }
  return "";
}

std::string ReportText(const Report& report) {
  if (report.kind == kReportProgress && report.text.empty()) return FormatProgressText(report.done, report.total, report.elapsedMs / 1000);
  return report.text;
}

}  // namespace corvane
