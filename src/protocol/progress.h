#pragma once
// The progress text of block transfers and of the ROM upgrade.
#include <cstdint>
#include <string>

#include "protocol/report.h"

namespace corvane {

// decimal(done div 1024) "/" decimal(total div 1024) " Kbytes\r\n(" pct "%)\r\n" rate " Kbyte/s",
// all in 64 bits; pct = done * 100 / total, rate = done / (elapsedSeconds + 1) / 1024.
std::string FormatProgressText(int64_t done, int64_t total, uint64_t elapsedSeconds);

// A report that is a line of text (message, status, finished, cancel switch).
Report TextReport(ReportKind kind, std::string text);

// A progress report; done is clamped to [0, total].
Report ProgressReport(TransferPhase phase, int64_t done, int64_t total, uint64_t elapsedMs);

}  // namespace corvane
