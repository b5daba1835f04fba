#pragma once
// The texts of the Properties dialog: total size, estimated download time.
// Plain computations, kept apart from the widgets so that they are easy to test.
// Everything is 64-bit: a selection of several large files passes 2 GiB.
#include <cstdint>
#include <string>

namespace corvane {

// Bytes per second on a serial line: ten bits per byte, no protocol overhead.
int64_t BytesPerSecond(int64_t baudRate);
// Whole seconds to move `totalBytes` at `baudRate`; 0 for a baud rate under 10.
int64_t EstimateSeconds(int64_t totalBytes, int64_t baudRate);
// "1024B" up to 1024 bytes, else the whole kilobytes and "KB" ("97KB").
std::string SizeText(int64_t totalBytes);
// "<minutes>mn : <seconds>s", with anything under a minute shown as one minute.
std::string TimeText(int64_t seconds);

}  // namespace corvane
