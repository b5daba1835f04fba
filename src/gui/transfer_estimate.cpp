#include "gui/transfer_estimate.h"

namespace corvane {

int64_t BytesPerSecond(int64_t baudRate) { return baudRate / 10; }

int64_t EstimateSeconds(int64_t totalBytes, int64_t baudRate) {
  const int64_t perSecond = BytesPerSecond(baudRate);
  if (perSecond <= 0) return 0;
  return totalBytes / perSecond;
}

std::string SizeText(int64_t totalBytes) {
  if (totalBytes <= 1024) return std::to_string(totalBytes) + "B";
  return std::to_string(totalBytes / 1024) + "KB";
}

std::string TimeText(int64_t seconds) {
  if (seconds < 60) seconds = 60;
  return std::to_string(seconds / 60) + "mn : " + std::to_string(seconds % 60) + "s";
}

}  // namespace corvane
