#pragma once
// The progress report of block transfers and of the ROM upgrade.
#include <cstdint>
#include <string>

#include "link/clock.h"
#include "protocol/report.h"

namespace corvane {

// decimal(n-1) "/" decimal(T div 1024) " Kbytes\r\n(" pct "%)\r\n" rate " Kbyte/s",
// all in 64 bits. elapsedSeconds = whole seconds since the start tick.
std::string FormatProgressText(int64_t n, int64_t total, uint64_t elapsedSeconds);
// Reports kReportProgress with that text, Position (n-1)*1024, Max total; nothing when total <= 0.
void FormatProgress(int64_t n, int64_t total, uint64_t startTick, Clock& clock, const ReportHandler& report);

}  // namespace corvane
