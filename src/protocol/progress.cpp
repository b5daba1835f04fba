#include "protocol/progress.h"

namespace corvane {

std::string FormatProgressText(int64_t n, int64_t total, uint64_t elapsedSeconds) {
  // Every block before the current one counts as 1024 bytes, whatever its
  // real size. All of it in 64 bits: (n - 1) * 102400 leaves 32 bits behind
  // at about 20 MiB.
  const int64_t before = n > 0 ? n - 1 : 0;
  const int64_t done = before * 1024;
  const int64_t percent = total > 0 ? before * 102400 / total : 0;
  const uint64_t rate = static_cast<uint64_t>(done) / (elapsedSeconds + 1) / 1024;
  std::string text;
  text.reserve(64);
  text += std::to_string(before);
  text += '/';
  text += std::to_string(total > 0 ? total / 1024 : 0);
  text += " Kbytes\r\n(";
  text += std::to_string(percent);
  text += "%)\r\n";
  text += std::to_string(rate);
  text += " Kbyte/s";
  return text;
}

void FormatProgress(int64_t n, int64_t total, uint64_t startTick, Clock& clock, const ReportHandler& report) {
  if (total <= 0 || !report) return;
  const uint64_t now = clock.NowMs();
  const uint64_t elapsed = now > startTick ? (now - startTick) / 1000 : 0;
  const int64_t before = n > 0 ? n - 1 : 0;
  report(FormatProgressText(n, total, elapsed), kReportProgress, before * 1024, total);
}

}  // namespace corvane
