#pragma once
// Reports of the worker threads (file transfers, screen transfer, upgrade).
#include <cstdint>
#include <functional>
#include <string>

namespace corvane {

enum ReportKind { kReportMessage = 0, kReportStatus = 1, kReportProgress = 2, kReportFinished = 3, kReportCancelSwitch = 4 };

// Text, Kind, Position, Max. Runs on the host's UI thread while the worker waits.
using ReportHandler =
    std::function<void(const std::string& text, int kind, int64_t position, int64_t max)>;

}  // namespace corvane
