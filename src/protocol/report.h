#pragma once
// Reports of a running transfer, screen transfer or upgrade. They carry data;
// the texts the transfer dialog and the log show are made from them at the
// edge (ReportText).
#include <cstdint>
#include <functional>
#include <string>

namespace corvane {

enum ReportKind {
  kReportMessage = 0,       // an error or retry line
  kReportStatus = 1,        // a status line (start, "Copying ...", the closing rate)
  kReportProgress = 2,      // bytes done of bytes total
  kReportFinished = 3,      // the last report of a transfer
  kReportCancelSwitch = 4,  // text "1" or "0": Cancel allowed or not
};

// What a transfer is doing.
enum class TransferPhase { kNone, kReceiving, kSending, kErasing, kUpgrading };
// "receive", "send", "erase", "upgrade", "".
const char* TransferPhaseName(TransferPhase phase);

struct Report {
  ReportKind kind = kReportMessage;
  std::string text;  // progress reports: empty for the standard text, or their own
  TransferPhase phase = TransferPhase::kNone;
  int64_t done = 0;   // progress: bytes transferred so far (never above total)
  int64_t total = 0;  // progress: bytes of the whole file
  uint64_t elapsedMs = 0;  // progress: time since the first block
};

// The text of a report as the dialog and the log show it.
std::string ReportText(const Report& report);

// Receives every report, in order, on the thread that runs the transfer.
using ReportHandler = std::function<void(const Report&)>;

}  // namespace corvane
