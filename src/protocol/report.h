#pragma once
// Reports of the worker threads (file transfers, screen transfer, upgrade).
#include <cstdint>
#include <functional>
#include <string>

namespace corvane {

enum TStatusKind { skMessage = 0, skStatus = 1, skProgress = 2, skFinished = 3, skCancelSwitch = 4 };

// Text, Kind, Position, Max. Runs on the host's UI thread while the worker waits.
using TTransferStatusEvent =
    std::function<void(const std::string& text, int kind, int64_t position, int64_t max)>;

}  // namespace corvane
